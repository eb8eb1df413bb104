/*
 * Consistent Overhead Byte Stuffing and the one-wire CRC-8 that protect packets on serial
 * lines.
 */
#include <array>
#include <cstring>

#include "aStream.h"

namespace {

constexpr uint8_t kRunEnd = 0xFF; // a full run of 254 bytes, no zero implied after it

// Length of the encoding of `length` bytes: one code byte per run, runs ending at each zero
// (which the code byte replaces) or after 254 non-zero bytes.
size_t sCobsEncodedLength(const uint8_t* source, size_t length) {
    size_t out = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        ++out; // the byte itself, or for a zero the code byte of the next run
        if (source[i] == 0) {
            code = 1;
        } else if (++code == kRunEnd) {
            ++out;
            code = 1;
        }
    }
    return out;
}

// Forward encoder. source may lie inside destination as long as it starts at least
// (encoded length - length) bytes further on: the writer then never overtakes the reader.
size_t sCobsEncode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t codeAt = 0;
    size_t out = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = source[i];
        if (byte == 0) {
            destination[codeAt] = code;
            codeAt = out++;
            code = 1;
            continue;
        }
        destination[out++] = byte;
        if (++code == kRunEnd) {
            destination[codeAt] = code;
            codeAt = out++;
            code = 1;
        }
    }
    destination[codeAt] = code;
    return out;
}

// destination may equal source: decoding only shrinks.
size_t sCobsDecode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t in = 0, out = 0;
    while (in < length) {
        const uint8_t code = source[in++];
        if (code == 0) return 0;
        const size_t run = code - 1u;
        if (run > length - in) return 0;
        for (size_t i = 0; i < run; ++i) {
            const uint8_t byte = source[in++];
            if (byte == 0) return 0;
            destination[out++] = byte;
        }
        if (code != kRunEnd && in < length) destination[out++] = 0;
    }
    return out;
}

constexpr std::array<uint8_t, 256> kCrc8Table = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>((crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
        table[i] = crc;
    }
    return table;
}();

} // namespace

extern "C" {

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
    if (destination == nullptr || (source == nullptr && length > 0)) return 0;
    return sCobsEncode(source, length, destination);
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
    if (buffer == nullptr) return 0;
    const size_t encoded = sCobsEncodedLength(buffer, length);
    const size_t shift = encoded - length;
    std::memmove(buffer + shift, buffer, length);
    return sCobsEncode(buffer + shift, length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
    if (source == nullptr || destination == nullptr) return 0;
    return sCobsDecode(source, length, destination);
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
    if (buffer == nullptr) return 0;
    return sCobsDecode(buffer, length, buffer);
}

uint8_t crc8_update(uint8_t crc, uint8_t byte) {
    return kCrc8Table[crc ^ byte];
}

uint8_t crc8_create(const uint8_t* data, size_t length) {
    uint8_t crc = 0;
    if (data == nullptr) return crc;
    for (size_t i = 0; i < length; ++i)
        crc = kCrc8Table[crc ^ data[i]];
    return crc;
}

bool crc8_check(const uint8_t* data, size_t length, uint8_t crc) {
    return crc8_create(data, length) == crc;
}

} // extern "C"
