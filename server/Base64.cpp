// Standard Base64 (RFC 4648, section 4) for the firmware files the update server sends.
#include "server/UpdateServerRequest.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kInvalid = 0xFF;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

} // namespace

unsigned char* UpdateServerRequest::_build_decoding_table() {
    auto* table = static_cast<unsigned char*>(std::malloc(256));
    if (table == nullptr) return nullptr;
    for (int i = 0; i < 256; ++i)
        table[i] = kInvalid;
    for (unsigned char i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}

char* UpdateServerRequest::base64_encode(const unsigned char* data, size_t length,
                                         size_t* outLength) {
    if (data == nullptr && length != 0) return nullptr;
    if (length / 3 >= (SIZE_MAX - 5) / 4) return nullptr;
    const size_t n = 4 * ((length + 2) / 3);
    auto* out = static_cast<char*>(std::malloc(n + 1));
    if (out == nullptr) return nullptr;
    char* o = out;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t triple = uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2];
        *o++ = alphabet[triple >> 18 & 0x3F];
        *o++ = alphabet[triple >> 12 & 0x3F];
        *o++ = alphabet[triple >> 6 & 0x3F];
        *o++ = alphabet[triple & 0x3F];
    }
    if (i < length) {
        uint32_t triple = uint32_t(data[i]) << 16;
        if (i + 1 < length) triple |= uint32_t(data[i + 1]) << 8;
        *o++ = alphabet[triple >> 18 & 0x3F];
        *o++ = alphabet[triple >> 12 & 0x3F];
        *o++ = i + 1 < length ? alphabet[triple >> 6 & 0x3F] : '=';
        *o++ = '=';
    }
    *o = '\0';
    if (outLength != nullptr) *outLength = n;
    return out;
}

unsigned char* UpdateServerRequest::base64_decode(const char* text, size_t length,
                                                  size_t* outLength) {
    if (length % 4 != 0 || (text == nullptr && length != 0)) return nullptr;
    std::unique_ptr<unsigned char, FreeDeleter> table(_build_decoding_table());
    if (!table) return nullptr;
    const unsigned char* decode = table.get();

    // Anything but the alphabet, or padding anywhere but at the very end, is a damaged payload:
    // refusing it keeps garbage out of the device.
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    size_t padding = 0;
    if (length != 0 && in[length - 1] == '=') padding = in[length - 2] == '=' ? 2 : 1;
    for (size_t i = 0; i < length - padding; ++i)
        if (decode[in[i]] == kInvalid) return nullptr;

    const size_t n = length / 4 * 3 - padding;
    auto* out = static_cast<unsigned char*>(std::malloc(n + 1));
    if (out == nullptr) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t sextets = 0;
        for (size_t k = 0; k < 4; ++k)
            sextets = sextets << 6 | (in[i + k] == '=' ? 0u : decode[in[i + k]]);
        if (o < n) out[o++] = static_cast<unsigned char>(sextets >> 16);
        if (o < n) out[o++] = static_cast<unsigned char>(sextets >> 8);
        if (o < n) out[o++] = static_cast<unsigned char>(sextets);
    }
    out[n] = '\0';
    if (outLength != nullptr) *outLength = n;
    return out;
}
