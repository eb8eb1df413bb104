#include "store/BirdFile.h"

#include "aError.h"
#include "aFile.h"
#include "app/Log.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

uint32_t GetInt(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

uint16_t GetShort(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

namespace {

constexpr size_t kInfoFieldSize = 16;

uint32_t get_le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// True when [addr, addr + n) lies within the image of a loader or firmware block. Computed in
// 64 bits so that addresses near the top of the 32-bit space cannot wrap into range.
bool image_holds(const BirdBlock& b, uint32_t addr, uint32_t n) {
    uint64_t start = b.address;
    uint64_t end = start + b.imageLength();
    return addr >= start && uint64_t{addr} + n <= end;
}

// Closes the platform file handle on every path out of Load.
struct FileCloser {
    aFileHandle handle;
    ~FileCloser() {
        if (handle) aFile_Close(&handle);
    }
};

} // namespace

BirdFile::BirdFile(const std::string& path_) : path(path_) {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    checksum = other.checksum;
    blockCount = other.blockCount;
    blocks = std::move(other.blocks);
    hasSerialOffsets = other.hasSerialOffsets;
    serialNumberAddress = other.serialNumberAddress;
    descriptorAddress = other.descriptorAddress;
    buffer = std::move(other.buffer); // the heap block moves, so the blocks' pointers hold
    dataSize = other.dataSize;
    other.path.clear();
    other.Reset();
    return *this;
}

void BirdFile::Reset() {
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberAddress = 0;
    descriptorAddress = 0;
    buffer.clear();
    buffer.shrink_to_fit();
    dataSize = 0;
}

bool BirdFile::Load() {
    Reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    FileCloser file{aFile_Open(path.c_str(), aFileModeRead)};
    if (file.handle == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint64_t size = 0;
    aErr err = aFile_GetSize(file.handle, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(err), path.c_str());
        return false;
    }
    if (size < BIRD_FILE_HEADER_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too short for a bird file (%zu bytes)\n",
                 path.c_str(), static_cast<size_t>(size));
        return false;
    }
    // Stored deflate blocks grow by a few bytes per 64 KiB, so a larger file could only inflate
    // beyond the limit as well.
    if (size > BIRD_FILE_HEADER_SIZE + MAX_DATA_SIZE + MAX_DATA_SIZE / 1024 + 64) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is too large for a bird file (%zu bytes)\n",
                 path.c_str(), static_cast<size_t>(size));
        return false;
    }
    std::vector<uint8_t> raw(static_cast<size_t>(size));
    uint64_t got = 0;
    err = aFile_Read(file.handle, raw.data(), raw.size(), &got);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err),
                 path.c_str());
        return false;
    }
    if (got != size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), static_cast<size_t>(got), static_cast<size_t>(size));
        return false;
    }
    return LoadBytes(raw.data(), raw.size());
}

bool BirdFile::LoadBytes(const uint8_t* bytes, size_t size) {
    Reset();
    if (bytes == nullptr || size < BIRD_FILE_HEADER_SIZE) return false;
    signature = GetInt(bytes);
    version = GetShort(bytes + 4);
    if (!DecompressData(bytes + BIRD_FILE_HEADER_SIZE, size - BIRD_FILE_HEADER_SIZE)) return false;
    // A mismatch is logged by the scan and tolerated: the blocks that were found stay usable.
    ScanBlocks(buffer.data(), dataSize);
    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        hasSerialOffsets = true;
        FindSerialNumberOffsets();
    }
    return true;
}

bool BirdFile::VerifyFile(const std::string& path) {
    aFileHandle file = aFile_Open(path.c_str(), aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint8_t header[BIRD_FILE_HEADER_SIZE];
    uint64_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return err == aErrNone && got == sizeof header &&
           std::memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 && header[4] != 0 && header[5] != 0;
}

bool BirdFile::DecompressData(const uint8_t* data, size_t length) {
    buffer.clear();
    dataSize = 0;
    auto fail = [this](int code) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", code);
        buffer.clear();
        buffer.shrink_to_fit();
        dataSize = 0;
        return false;
    };

    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return fail(Z_MEM_ERROR);
    // Firmware with long erased (0xFF) runs compresses far beyond any fixed ratio, so the
    // output grows as needed; one byte past the limit is room enough to tell "exactly the
    // limit" from "more".
    const size_t cap = size_t{MAX_DATA_SIZE} + 1;
    buffer.resize(std::clamp<size_t>(length * 4, 64 * 1024, cap));
    zs.next_in = const_cast<Bytef*>(data);
    size_t in_left = length;
    int rc = Z_OK;
    while (true) {
        if (zs.avail_in == 0 && in_left > 0) {
            zs.avail_in = static_cast<uInt>(std::min<size_t>(in_left, 1u << 30));
            in_left -= zs.avail_in;
        }
        if (zs.total_out == buffer.size()) {
            if (buffer.size() == cap) break;
            buffer.resize(std::min(cap, buffer.size() * 2));
        }
        zs.next_out = buffer.data() + zs.total_out;
        zs.avail_out = static_cast<uInt>(std::min<size_t>(buffer.size() - zs.total_out, 1u << 30));
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) break;
        if (rc == Z_NEED_DICT) rc = Z_DATA_ERROR;
        if (rc == Z_BUF_ERROR && zs.avail_in == 0 && in_left == 0) rc = Z_DATA_ERROR; // truncated
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    }
    const size_t produced = zs.total_out;
    const size_t unused = zs.avail_in + in_left;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        if (produced > MAX_DATA_SIZE) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Error - bird file inflates to more than %u bytes, refused.\n",
                     MAX_DATA_SIZE);
            return fail(Z_BUF_ERROR);
        }
        return fail(rc);
    }
    if (produced > MAX_DATA_SIZE) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Error - bird file inflates to more than %u bytes, refused.\n",
                 MAX_DATA_SIZE);
        return fail(Z_BUF_ERROR);
    }
    if (unused > 0)
        Log::log(DEBUG_BirdFile, "BIRDFILE: %zu bytes after the compressed data ignored\n", unused);
    buffer.resize(produced);
    buffer.shrink_to_fit(); // an exact fit, so that nothing past the contents is addressable
    dataSize = static_cast<uint32_t>(produced);
    return true;
}

bool BirdFile::ScanBlocks(uint8_t* data, uint32_t size) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (data == nullptr || size < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size));
        return false;
    }
    const uint32_t announced = GetInt(data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(announced));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    bool ok = true;
    uint32_t pos = 4;
    while (size - pos > 4) {
        const uint8_t type_byte = data[pos];
        const uint32_t length = GetInt(data + pos + 1);
        if (length > size - pos - 5) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: Block %u (type %02X) of %u bytes runs past the end of the data\n",
                     blockCount, type_byte, length);
            ok = false;
            break;
        }
        BirdBlock b;
        b.type = type_byte & BIRD_FILE_TYPE_MASK;
        b.flags = static_cast<uint8_t>((type_byte & BIRD_FILE_FLAG_MASK) >> 5);
        b.length = length;
        b.data = data + pos + 5;
        if (b.type == BLOCK_LOADER || b.type == BLOCK_FIRMWARE) {
            if (length >= 4) {
                b.address = GetInt(b.data);
            } else {
                Log::log(DEBUG_BirdFile,
                         "BIRDFILE: Block %u of %u bytes is too short for its load address\n",
                         blockCount, length);
                ok = false;
            }
        }
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", b.type, b.flags,
                 static_cast<int>(length));
        if (b.type == BLOCK_INFO) {
            for (uint32_t f = 0; f < 4; ++f) {
                const uint32_t start = f * kInfoFieldSize;
                const uint32_t n = start < length ? std::min<uint32_t>(16, length - start) : 0;
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         std::string(reinterpret_cast<const char*>(b.data) + start, n).c_str());
            }
        }
        pos += 5 + length;
        ++blockCount;
        blocks.push_back(b);
    }

    if (size - pos >= 4) {
        checksum = GetInt(data + pos);
        pos += 4;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    } else {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - file checksum missing\n");
        ok = false;
    }
    if (pos < size) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size - pos));
        ok = false;
    }
    if (blockCount != announced) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(announced));
        ok = false;
    }
    return ok;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& b : blocks)
        if (b.type == type) found.push_back(b);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0) return false;
    auto it = std::find_if(blocks.begin(), blocks.end(),
                           [](const BirdBlock& b) { return b.type == BLOCK_SERIAL_OFFSETS; });
    if (it == blocks.end()) return false;
    // A short block gives what it holds; a missing address stays 0, which patches nothing.
    serialNumberAddress = it->length >= 4 ? GetInt(it->data) : 0;
    descriptorAddress = it->length >= 8 ? GetInt(it->data + 4) : 0;
    if (it->length < 8)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Serial offsets block holds only %u bytes\n",
                 it->length);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialNumberAddress), static_cast<int>(descriptorAddress));
    return true;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    bool result = false;
    bool serialPatched = false;
    bool descriptorPatched = false;
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    for (BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE) continue;
        if (serialNumberAddress != 0) {
            if (image_holds(b, serialNumberAddress, 4)) {
                uint8_t* p = b.image() + (serialNumberAddress - b.address);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         get_le32(p), serial);
                put_le32(p, serial);
                serialPatched = true;
            }
            result = true;
        }
        if (descriptorAddress != 0) {
            if (image_holds(b, descriptorAddress, 16)) {
                uint8_t* p = b.image() + (descriptorAddress - b.address);
                for (int i = 0; i < 8; ++i)
                    p[2 * i] = static_cast<uint8_t>(text[i]);
                descriptorPatched = true;
            }
            result = true;
        }
    }
    if (result && serialNumberAddress != 0 && !serialPatched)
        Log::log(DEBUG_BirdFile, "BIRDFILE: serial number address %08X lies in no firmware block\n",
                 serialNumberAddress);
    if (result && descriptorAddress != 0 && !descriptorPatched)
        Log::log(DEBUG_BirdFile, "BIRDFILE: descriptor address %08X lies in no firmware block\n",
                 descriptorAddress);
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE || b.length < 4 || b.address != 0) continue;
        if (b.imageLength() < 32) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: firmware block of %u bytes is too short for a vector table\n",
                     b.length);
            continue;
        }
        const uint8_t* v = b.image();
        uint32_t sum = 0;
        for (int entry : {0, 1, 2, 3, 4, 6})
            sum += get_le32(v + 4 * entry);
        const uint32_t value = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 get_le32(v + 28), value);
        put_le32(b.image() + 28, value);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
    uint8_t k[16];
    for (int w = 0; w < 4; ++w)
        for (int i = 0; i < 4; ++i)
            k[4 * w + i] = static_cast<uint8_t>(key[w] >> (24 - 8 * i));
    for (BirdBlock& b : blocks) {
        if (b.type != BLOCK_FIRMWARE) continue;
        uint8_t previous = 0;
        uint8_t* p = b.image();
        for (uint32_t i = 0, n = b.imageLength(); i < n; ++i) {
            p[i] = static_cast<uint8_t>(p[i] ^ k[i % 16] ^ previous);
            previous = p[i];
        }
    }
    return true;
}

std::string BirdFile::InfoField(int index, size_t count) const {
    for (const BirdBlock& b : blocks) {
        if (b.type != BLOCK_INFO) continue;
        const size_t start = static_cast<size_t>(index) * kInfoFieldSize;
        if (start >= b.length) return {};
        const size_t n = std::min({count, kInfoFieldSize, size_t{b.length} - start});
        std::string field(reinterpret_cast<const char*>(b.data) + start, n);
        // Text fields end at a terminator as well as at their padding.
        field.resize(std::strlen(field.c_str()));
        return field;
    }
    return {};
}

uint32_t BirdFile::GetBuild() const {
    const std::string field = InfoField(0, 15);
    size_t i = 0;
    while (i < field.size() && std::isspace(static_cast<unsigned char>(field[i])))
        ++i;
    uint32_t build = 0;
    const char* first = field.data() + i;
    const char* last = field.data() + field.size();
    if (std::from_chars(first, last, build).ec != std::errc()) return 0;
    return build;
}

std::string BirdFile::GetVersion() const {
    std::string field = InfoField(1, 15);
    const size_t space = field.find(' ');
    if (space != std::string::npos) field.resize(space);
    return field;
}

uint32_t BirdFile::GetSerialNumber() const {
    const std::string field = InfoField(2, 8);
    uint32_t serial = 0;
    if (std::from_chars(field.data(), field.data() + field.size(), serial, 16).ec != std::errc())
        return 0;
    return serial;
}

bool BirdFile::ValidateModel(const std::string& name) const {
    if (FindBlocks(BLOCK_INFO).empty()) return false;
    std::string model = InfoField(3, kInfoFieldSize);
    while (!model.empty() && model.back() == ' ')
        model.pop_back();
    // A prefix test: the field may carry more after the name (a revision, say).
    if (model.compare(0, name.size(), name) != 0 || name.size() > model.size()) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model.c_str(),
             name.c_str());
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, size_t count) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern != nullptr && count > 0) {
        for (const BirdBlock& b : blocks) {
            if (b.type != BLOCK_FIRMWARE || b.length < count) continue;
            for (size_t at = 0; at + count <= b.length; ++at) {
                if (std::memcmp(b.data + at, pattern, count) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(at));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(uint8_t type) const {
    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    constexpr size_t kRow = 50;
    for (const BirdBlock& b : blocks) {
        if (b.type != type) continue;
        std::string chars;
        for (size_t i = 0; i < b.length; ++i) {
            if (i % kRow == 0) {
                std::printf(" %s\r\n%06d: ", chars.c_str(), static_cast<int>(i));
                chars.clear();
            }
            const uint8_t c = b.data[i];
            std::printf("%02X ", c);
            chars.push_back(std::isprint(c) ? static_cast<char>(c) : ' ');
        }
        std::printf(" %s\n", chars.c_str());
    }
    std::printf("\n");
    return true;
}
