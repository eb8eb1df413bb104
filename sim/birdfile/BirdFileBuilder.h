// Writes BIRD firmware files from parts, for tests, simulators and demos.
//
// A BIRD file is the 6-byte header (the signature "bird" and two version bytes, 1 and 1) followed
// by one zlib stream. Inflated, the stream holds a big-endian block count, the blocks back to back
// (a type byte whose low five bits are the type and whose high three bits are the flags, a
// big-endian data length, then the data) and a big-endian 32-bit file checksum.
//
// The file checksum written here is the CRC-32 (zlib's crc32, polynomial 0xEDB88320) of every
// inflated byte before it: the block count and all blocks. Readers only log it.
//
// Typical use:
//
//     birdfile::BirdFileBuilder b;
//     b.add_loader(0x20000000, loaderImage)
//      .add_firmware(0x00000000, firmwareImage, 2)
//      .add_serial_offsets(0x00000200, 0x00000400)
//      .add_info(1234, "2.10.3", 0x40F5849A, "VX-Hub8");
//     b.write("/tmp/store/40F5849A/1234.bird");   // or b.bytes()
//
// Blocks are written in the order they were added. Every add_* returns the builder, so calls
// chain. The overrides (set_signature, set_announced_count, append_trailing, ...) exist to make
// malformed files on purpose; a builder that uses none of them writes a well-formed file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace birdfile {

// Block types (low five bits of a block's type byte).
enum BlockType : uint8_t {
    kLoader = 0,        // 4-byte big-endian load address, then the boot-loader image
    kFirmware = 1,      // 4-byte big-endian load address, then the firmware image
    kSerialOffsets = 2, // device address of the serial word, then of the descriptor text (BE)
    kInfo = 4,          // 64 bytes of text: build, version, serial, model; 16 bytes each
    kLoaderStart = 5,   // 4-byte big-endian start address of a recovery loader
};

inline constexpr uint8_t kTypeMask = 0x1F;
inline constexpr uint8_t kFlagMask = 0xE0;
inline constexpr size_t kHeaderSize = 6;
inline constexpr size_t kInfoFieldSize = 16;

// The four text fields of an info block, each written space-padded to 16 bytes. A longer text
// is cut to 16 bytes.
struct InfoFields {
    std::string build;   // decimal build number, e.g. "1234"
    std::string version; // e.g. "2.10.3"
    std::string serial;  // 8 upper-case hexadecimal digits, e.g. "40F5849A"
    std::string model;   // model display name
};

class BirdFileBuilder {
public:
    BirdFileBuilder() = default;

    // A loader or firmware block: the data is the big-endian address followed by the image.
    // flags (0-7) go into the high three bits of the type byte; larger values throw
    // std::invalid_argument.
    BirdFileBuilder& add_loader(uint32_t address, std::span<const uint8_t> image,
                                uint8_t flags = 0);
    BirdFileBuilder& add_firmware(uint32_t address, std::span<const uint8_t> image,
                                  uint8_t flags = 0);

    // The 8-byte serial-offsets block that marks a generic image: the device address of the
    // 32-bit serial-number word and of the serial-number descriptor text (0 = none).
    BirdFileBuilder& add_serial_offsets(uint32_t serial_address, uint32_t descriptor_address);

    // The 64-byte info block. The numeric form writes the build in decimal and the serial as
    // "%08X".
    BirdFileBuilder& add_info(uint32_t build, std::string_view version, uint32_t serial,
                              std::string_view model);
    BirdFileBuilder& add_info(const InfoFields& fields);

    // The 4-byte loader-start block.
    BirdFileBuilder& add_loader_start(uint32_t address);

    // Any block exactly as given: type_byte is written as is (type and flags), data follows
    // its length. Use it for unknown types or for blocks of a wrong size.
    BirdFileBuilder& add_raw_block(uint8_t type_byte, std::span<const uint8_t> data);

    // Overrides for malformed files.
    BirdFileBuilder& set_signature(std::string_view four_chars); // default "bird"; must be 4 chars
    BirdFileBuilder& set_version(uint8_t major, uint8_t minor);  // default 1, 1
    BirdFileBuilder& set_announced_count(uint32_t count); // default: the number of blocks added
    BirdFileBuilder& set_checksum(uint32_t checksum);     // default: the CRC-32 described above
    BirdFileBuilder& append_trailing(std::span<const uint8_t> bytes); // inflated bytes after
                                                                      // the checksum
    BirdFileBuilder& set_compression_level(int level);                // zlib level 0-9, default 9

    // The number of blocks added so far.
    size_t block_count() const { return blocks_.size(); }

    // The inflated contents: count, blocks, checksum, trailing bytes.
    std::vector<uint8_t> contents() const;

    // The checksum that contents() writes (the override when one was set).
    uint32_t checksum() const;

    // The whole file: header plus the compressed contents.
    std::vector<uint8_t> bytes() const;

    // Writes bytes() to path, replacing any file there. Throws std::runtime_error (with the
    // path and the system's reason) when the file cannot be written.
    void write(const std::string& path) const;

    // A file made of the given header fields around an already compressed payload (or any
    // bytes at all): for truncated, corrupt or oversized streams.
    static std::vector<uint8_t> wrap(std::span<const uint8_t> payload,
                                     std::string_view signature = "bird", uint8_t major = 1,
                                     uint8_t minor = 1);

    // zlib's compress2 of data at the given level (a zlib stream as the reader expects).
    static std::vector<uint8_t> compress(std::span<const uint8_t> data, int level = 9);

private:
    struct Block {
        uint8_t type_byte;
        std::vector<uint8_t> data;
    };
    BirdFileBuilder& add_image_block(uint8_t type, uint32_t address, std::span<const uint8_t> image,
                                     uint8_t flags);
    std::vector<uint8_t> body() const; // count and blocks, without the checksum

    std::vector<Block> blocks_;
    std::string signature_ = "bird";
    uint8_t major_ = 1;
    uint8_t minor_ = 1;
    std::optional<uint32_t> announced_count_;
    std::optional<uint32_t> checksum_;
    std::vector<uint8_t> trailing_;
    int level_ = 9;
};

// Helpers for making images.

// n bytes of value fill (0xFF is erased flash).
std::vector<uint8_t> filled_image(size_t n, uint8_t fill = 0xFF);

// n bytes of a deterministic pseudo-random sequence for a seed: incompressible, reproducible.
std::vector<uint8_t> pattern_image(size_t n, uint32_t seed = 1);

// Stores value little-endian (the devices' byte order) at image[offset]. Throws
// std::out_of_range when it does not fit.
void put_le32(std::vector<uint8_t>& image, size_t offset, uint32_t value);

} // namespace birdfile
