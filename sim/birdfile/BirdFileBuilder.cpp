#include "sim/birdfile/BirdFileBuilder.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace birdfile {

namespace {

void put_be32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void put_field(std::vector<uint8_t>& out, std::string_view text) {
    for (size_t i = 0; i < kInfoFieldSize; ++i)
        out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : uint8_t{' '});
}

} // namespace

BirdFileBuilder& BirdFileBuilder::add_image_block(uint8_t type, uint32_t address,
                                                  std::span<const uint8_t> image, uint8_t flags) {
    if (flags > 7) throw std::invalid_argument("BIRD block flags must be 0-7");
    Block b{static_cast<uint8_t>(type | (flags << 5)), {}};
    b.data.reserve(4 + image.size());
    put_be32(b.data, address);
    b.data.insert(b.data.end(), image.begin(), image.end());
    blocks_.push_back(std::move(b));
    return *this;
}

BirdFileBuilder& BirdFileBuilder::add_loader(uint32_t address, std::span<const uint8_t> image,
                                             uint8_t flags) {
    return add_image_block(kLoader, address, image, flags);
}

BirdFileBuilder& BirdFileBuilder::add_firmware(uint32_t address, std::span<const uint8_t> image,
                                               uint8_t flags) {
    return add_image_block(kFirmware, address, image, flags);
}

BirdFileBuilder& BirdFileBuilder::add_serial_offsets(uint32_t serial_address,
                                                     uint32_t descriptor_address) {
    Block b{kSerialOffsets, {}};
    put_be32(b.data, serial_address);
    put_be32(b.data, descriptor_address);
    blocks_.push_back(std::move(b));
    return *this;
}

BirdFileBuilder& BirdFileBuilder::add_info(uint32_t build, std::string_view version,
                                           uint32_t serial, std::string_view model) {
    char serial_text[9];
    std::snprintf(serial_text, sizeof serial_text, "%08X", serial);
    return add_info(
        InfoFields{std::to_string(build), std::string(version), serial_text, std::string(model)});
}

BirdFileBuilder& BirdFileBuilder::add_info(const InfoFields& fields) {
    Block b{kInfo, {}};
    b.data.reserve(4 * kInfoFieldSize);
    put_field(b.data, fields.build);
    put_field(b.data, fields.version);
    put_field(b.data, fields.serial);
    put_field(b.data, fields.model);
    blocks_.push_back(std::move(b));
    return *this;
}

BirdFileBuilder& BirdFileBuilder::add_loader_start(uint32_t address) {
    Block b{kLoaderStart, {}};
    put_be32(b.data, address);
    blocks_.push_back(std::move(b));
    return *this;
}

BirdFileBuilder& BirdFileBuilder::add_raw_block(uint8_t type_byte, std::span<const uint8_t> data) {
    blocks_.push_back(Block{type_byte, std::vector<uint8_t>(data.begin(), data.end())});
    return *this;
}

BirdFileBuilder& BirdFileBuilder::set_signature(std::string_view four_chars) {
    if (four_chars.size() != 4) throw std::invalid_argument("BIRD signature must be 4 characters");
    signature_ = four_chars;
    return *this;
}

BirdFileBuilder& BirdFileBuilder::set_version(uint8_t major, uint8_t minor) {
    major_ = major;
    minor_ = minor;
    return *this;
}

BirdFileBuilder& BirdFileBuilder::set_announced_count(uint32_t count) {
    announced_count_ = count;
    return *this;
}

BirdFileBuilder& BirdFileBuilder::set_checksum(uint32_t checksum) {
    checksum_ = checksum;
    return *this;
}

BirdFileBuilder& BirdFileBuilder::append_trailing(std::span<const uint8_t> bytes) {
    trailing_.insert(trailing_.end(), bytes.begin(), bytes.end());
    return *this;
}

BirdFileBuilder& BirdFileBuilder::set_compression_level(int level) {
    if (level < 0 || level > 9) throw std::invalid_argument("zlib level must be 0-9");
    level_ = level;
    return *this;
}

std::vector<uint8_t> BirdFileBuilder::body() const {
    size_t size = 4;
    for (const Block& b : blocks_)
        size += 5 + b.data.size();
    std::vector<uint8_t> out;
    out.reserve(size + 4 + trailing_.size());
    put_be32(out, announced_count_.value_or(static_cast<uint32_t>(blocks_.size())));
    for (const Block& b : blocks_) {
        out.push_back(b.type_byte);
        put_be32(out, static_cast<uint32_t>(b.data.size()));
        out.insert(out.end(), b.data.begin(), b.data.end());
    }
    return out;
}

static uint32_t crc_of(const std::vector<uint8_t>& data) {
    // crc32 takes a uInt length: feed large bodies in slices.
    uLong crc = crc32(0L, Z_NULL, 0);
    const uint8_t* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        uInt n = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
        crc = crc32(crc, p, n);
        p += n;
        left -= n;
    }
    return static_cast<uint32_t>(crc);
}

uint32_t BirdFileBuilder::checksum() const {
    return checksum_ ? *checksum_ : crc_of(body());
}

std::vector<uint8_t> BirdFileBuilder::contents() const {
    std::vector<uint8_t> out = body();
    put_be32(out, checksum_ ? *checksum_ : crc_of(out));
    out.insert(out.end(), trailing_.begin(), trailing_.end());
    return out;
}

std::vector<uint8_t> BirdFileBuilder::compress(std::span<const uint8_t> data, int level) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::vector<uint8_t> out(size);
    int rc = compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level);
    if (rc != Z_OK) throw std::runtime_error("zlib compress2 failed with " + std::to_string(rc));
    out.resize(size);
    return out;
}

std::vector<uint8_t> BirdFileBuilder::wrap(std::span<const uint8_t> payload,
                                           std::string_view signature, uint8_t major,
                                           uint8_t minor) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + payload.size());
    for (size_t i = 0; i < 4; ++i)
        out.push_back(i < signature.size() ? static_cast<uint8_t>(signature[i]) : uint8_t{0});
    out.push_back(major);
    out.push_back(minor);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> BirdFileBuilder::bytes() const {
    return wrap(compress(contents(), level_), signature_, major_, minor_);
}

void BirdFileBuilder::write(const std::string& path) const {
    const std::vector<uint8_t> data = bytes();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    int saved = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        std::remove(path.c_str());
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(saved));
    }
}

std::vector<uint8_t> filled_image(size_t n, uint8_t fill) {
    return std::vector<uint8_t>(n, fill);
}

std::vector<uint8_t> pattern_image(size_t n, uint32_t seed) {
    // xorshift32: cheap, reproducible on every platform, and does not compress.
    uint32_t x = seed ? seed : 0x9E3779B9u;
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

void put_le32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
    if (offset > image.size() || image.size() - offset < 4)
        throw std::out_of_range("put_le32 outside the image");
    for (int i = 0; i < 4; ++i)
        image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace birdfile
