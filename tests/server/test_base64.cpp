// Base64 of downloaded firmware: the RFC 4648 vectors, lengths and padding, and refusal of
// damaged text.
#include "server/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Freed {
    void operator()(void* p) const { std::free(p); }
};

std::string encode(const std::string& bytes) {
    size_t n = 12345;
    std::unique_ptr<char, Freed> out(UpdateServerRequest::base64_encode(
        reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &n));
    if (!out) return "<null>";
    EXPECT_EQ(out.get()[n], '\0');
    EXPECT_EQ(std::strlen(out.get()), n);
    return std::string(out.get(), n);
}

// The decoded bytes, or nullopt for a refused text.
std::optional<std::string> decode(const std::string& text) {
    size_t n = 12345;
    std::unique_ptr<unsigned char, Freed> out(
        UpdateServerRequest::base64_decode(text.data(), text.size(), &n));
    if (!out) return std::nullopt;
    EXPECT_EQ(out.get()[n], 0) << "no terminating zero after the data";
    return std::string(reinterpret_cast<const char*>(out.get()), n);
}

TEST(Base64, Rfc4648VectorsBothWays) {
    const struct {
        const char* bytes;
        const char* text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.bytes), c.text);
        EXPECT_EQ(decode(c.text), std::optional<std::string>(c.bytes)) << c.text;
    }
}

TEST(Base64, EveryByteValueAndLengthRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    all += all; // 512 bytes: every value in every position modulo 3
    for (size_t length = 0; length <= all.size(); ++length) {
        std::string bytes = all.substr(all.size() - length);
        std::string text = encode(bytes);
        ASSERT_EQ(text.size(), 4 * ((length + 2) / 3)) << length;
        ASSERT_EQ(decode(text), bytes) << length;
    }
    // The alphabet's last two characters appear.
    EXPECT_EQ(encode("\xfb\xff"), "+/8=");
}

TEST(Base64, RefusesDamagedText) {
    const char* refused[] = {
        "Zm9vYg",    // 6 characters: not a multiple of 4
        "Zm9vY",     // truncated in a group
        "Zm9v*mFy",  // outside the alphabet
        "Zm9v YmF",  // a blank
        "Zm9vYmF\n", // a line end
        "Zm9vYmF\r", // a carriage return
        "Zm-v",      // the URL-safe alphabet is not this one
        "Zm_v",
        "Zm=v",     // padding inside a group
        "Zg==Zm9v", // padding before the last group
        "Z===",     // three padding characters
        "====",     // padding only
        "Zg=a",     // "=" followed by data
        "=Zm9",
    };
    for (const char* text : refused)
        EXPECT_EQ(decode(text), std::nullopt) << text;

    std::string withZero("Zm9v\0mFy", 8);
    EXPECT_EQ(decode(withZero), std::nullopt) << "a zero byte inside the text";
    std::string high = "Zm9v";
    high[1] = static_cast<char>(0xC3);
    EXPECT_EQ(decode(high), std::nullopt) << "a byte above 0x7F";
}

TEST(Base64, PaddingSetsTheLength) {
    // 8 characters ending in "==" give 4 bytes; one "=" gives 5; none 6.
    EXPECT_EQ(decode("AAAAAA==")->size(), 4u);
    EXPECT_EQ(decode("AAAAAAA=")->size(), 5u);
    EXPECT_EQ(decode("AAAAAAAA")->size(), 6u);
    EXPECT_EQ(decode(""), std::string());
    size_t n = 99;
    EXPECT_EQ(UpdateServerRequest::base64_decode(nullptr, 4, &n), nullptr);
}

TEST(Base64, DecodingTableCoversExactlyTheAlphabet) {
    std::unique_ptr<unsigned char, Freed> table(UpdateServerRequest::_build_decoding_table());
    ASSERT_TRUE(table);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        size_t at = alphabet.find(static_cast<char>(c));
        unsigned expected = at == std::string::npos || c == 0 ? 0xFF : static_cast<unsigned>(at);
        EXPECT_EQ(table.get()[c], expected) << "character " << c;
    }
}

} // namespace
