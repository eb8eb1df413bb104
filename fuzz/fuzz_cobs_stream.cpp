// The COBS framing stream fed arbitrary bytes: received byte by byte through an inner
// get-byte that reads the input, and written as one block through an inner write that
// collects the frames. Every packet handed out or framed must be well formed.
#include <cstdlib>
#include <vector>

#include "aStream.h"

namespace {

struct Source {
    const uint8_t* data;
    size_t size;
    size_t pos;
    std::vector<uint8_t> wire;
};

aErr sGet(uint8_t* byte, void* ref) {
    auto* s = static_cast<Source*>(ref);
    if (s->pos == s->size) return aErrNotReady;
    *byte = s->data[s->pos++];
    return aErrNone;
}

aErr sWrite(const uint8_t* data, size_t length, void* ref) {
    auto* s = static_cast<Source*>(ref);
    s->wire.insert(s->wire.end(), data, data + length);
    return aErrNone;
}

// A packet's bytes: address, length, then exactly that many data bytes.
void checkPackets(const std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        if (i + 2 > bytes.size() || bytes[i + 1] > 28) std::abort();
        i += 2 + bytes[i + 1];
    }
    if (i != bytes.size()) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Source source{data, size, 0, {}};
    aStream* stream = nullptr;
    if (aStream_CreateCobsEncoding(sGet, nullptr, sWrite, nullptr, &source, &stream) != aErrNone)
        std::abort();

    std::vector<uint8_t> received;
    int idleAtEnd = 0;
    while (idleAtEnd < 2) { // the last delimiter may leave a frame pending
        uint8_t b;
        const aErr err = aStream_Read(stream, &b, 1);
        if (err == aErrNone)
            received.push_back(b);
        else if (err != aErrNotReady && err != aErrPacket)
            std::abort();
        idleAtEnd = err == aErrNotReady && source.pos == source.size ? idleAtEnd + 1 : 0;
    }
    checkPackets(received);

    // The same bytes written as a block (a single byte would pass unframed): each complete
    // packet becomes one frame with a good CRC.
    if (size > 1 && aStream_Write(stream, data, size) != aErrNone) std::abort();
    std::vector<uint8_t> framed;
    size_t start = 0;
    for (size_t i = 0; i < source.wire.size(); ++i) {
        if (source.wire[i] != 0) continue;
        std::vector<uint8_t> body(source.wire.begin() + start, source.wire.begin() + i);
        start = i + 1;
        const size_t m = cobs_decode_inplace(body.data(), body.size());
        if (m < 3 || m > 31 || !crc8_check(body.data(), m - 1, body[m - 1])) std::abort();
        framed.insert(framed.end(), body.begin(), body.begin() + m - 1);
    }
    if (start != source.wire.size()) std::abort(); // every frame ends with its delimiter
    checkPackets(framed);

    aStream_Destroy(&stream);
    return 0;
}
