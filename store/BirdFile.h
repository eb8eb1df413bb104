// BIRD firmware files: read, inflated and split into blocks in memory, then patched (serial
// number, vector checksum) or decoded before the update and recovery code sends them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr char BIRD_FILE_SIGNATURE[] = "bird";
inline constexpr uint16_t BIRD_FILE_VERSION = 0x0101; // major 1, minor 1
inline constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
inline constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
inline constexpr size_t BIRD_FILE_HEADER_SIZE = 6;

// Unsigned big-endian numbers.
uint32_t GetInt(const uint8_t* bytes);
uint16_t GetShort(const uint8_t* bytes);

// One block of a loaded file. It does not own its data: it points into the inflated buffer of
// the BirdFile it came from and is valid as long as that file object (or the one it was moved
// into) lives.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;       // 0-7, handed to the boot loader with the block
    uint32_t length = 0;     // data bytes, header not counted
    uint32_t address = 0;    // load address of loader and firmware blocks, else 0
    uint8_t* data = nullptr; // first data byte; for loader and firmware blocks the address

    // The image of a loader or firmware block: the bytes after its 4-byte address. Empty for a
    // block too short to hold the address.
    uint8_t* image() const { return length >= 4 ? data + 4 : data; }
    uint32_t imageLength() const { return length >= 4 ? length - 4 : 0; }
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_LOADER_START = 5,
    };

    // Inflated contents larger than this are refused: no firmware comes near it, and it keeps
    // a small hostile file from taking the machine's memory.
    static constexpr uint32_t MAX_DATA_SIZE = 64u * 1024 * 1024;

    BirdFile() = default;
    // Loads the file; throws std::runtime_error("Failed to load bird data") when it cannot.
    explicit BirdFile(const std::string& path);

    // Moves keep the blocks valid: they point into the buffer, which moves along.
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Reads, inflates and scans the file named by path. A count or size mismatch in the
    // contents is logged but does not fail the load.
    bool Load();
    // The same for a file already in memory (path is left as it is).
    bool LoadBytes(const uint8_t* bytes, size_t size);

    // True when the file begins with "bird" and two non-zero version bytes.
    static bool VerifyFile(const std::string& path);

    bool DecompressData(const uint8_t* data, size_t length);
    bool ScanBlocks(uint8_t* data, uint32_t size);

    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    bool FindSerialNumberOffsets();

    // Patches the serial number into every firmware block that holds the serial word or the
    // descriptor text.
    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    bool DecodeFirmwareBlocks(const std::array<uint32_t, 4>& key) {
        return DecodeFirmwareBlocks(key.data());
    }

    uint32_t GetBuild() const;
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }
    bool ValidateModel(const std::string& name) const;
    bool ValidateData(const uint8_t* pattern, size_t count) const;
    bool DumpBlocks(uint8_t type) const;

    // The inflated contents.
    const uint8_t* Data() const { return buffer.data(); }

    std::string path;
    uint32_t signature = 0;
    uint16_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberAddress = 0;
    uint32_t descriptorAddress = 0;

private:
    void Reset();
    // The info block's field (0 build, 1 version, 2 serial, 3 model), cut to the block's data.
    std::string InfoField(int index, size_t count) const;

    std::vector<uint8_t> buffer;

public:
    uint32_t dataSize = 0;
};
