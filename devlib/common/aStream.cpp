/*
 * The stream object: reads and writes over a transport's four operations, the pushback
 * ring, records, strings, stream-to-stream copy, and the two file-backed streams.
 */
#include "aStream.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "aFile.h"

namespace {

constexpr uint16_t kStreamCheck = 0x4321;
constexpr uint64_t kRingGrowth = 512;
// Reads up to this many bytes collect on the stack; longer ones get heap working memory.
constexpr size_t kStackReadSize = 64;

} // namespace

struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* ref;
    uint8_t* ring;
    uint32_t count;
    uint64_t capacity;
    uint64_t readPos;
    uint64_t writePos;
    uint16_t check;
};

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == kStreamCheck)

namespace {

// Rebuilds the ring into a buffer of newCapacity bytes with the held bytes from index 0.
aErr sStreamRegrowRing(aStream* stream, uint64_t newCapacity) {
    auto* grown = static_cast<uint8_t*>(std::malloc(newCapacity));
    if (grown == nullptr) return aErrMemory;
    for (uint32_t i = 0; i < stream->count; ++i)
        grown[i] = stream->ring[(stream->readPos + i) % stream->capacity];
    std::free(stream->ring);
    stream->ring = grown;
    stream->capacity = newCapacity;
    stream->readPos = 0;
    stream->writePos = stream->count;
    return aErrNone;
}

bool sStreamGetBufferedChar(aStream* stream, uint8_t* byte) {
    if (stream->count == 0) return false;
    const uint8_t b = stream->ring[stream->readPos];
    stream->readPos = (stream->readPos + 1) % stream->capacity;
    --stream->count;
    if (byte != nullptr) *byte = b;
    return true;
}

// Puts bytes back in front of what the ring holds, so that they are read next. Used when a
// record read has looked further ahead than the record it returns.
aErr sStreamUngetFront(aStream* stream, const uint8_t* bytes, size_t length) {
    for (size_t i = length; i-- > 0;) {
        if (stream->ring == nullptr || stream->count + 1 >= stream->capacity) {
            const aErr err = stream->ring == nullptr
                                 ? sStreamRegrowRing(stream, kRingGrowth)
                                 : sStreamRegrowRing(stream, stream->capacity + kRingGrowth);
            if (err != aErrNone) return err;
        }
        stream->readPos = (stream->readPos + stream->capacity - 1) % stream->capacity;
        stream->ring[stream->readPos] = bytes[i];
        ++stream->count;
    }
    return aErrNone;
}

aErr sStreamGiveBack(aStream* stream, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

// One byte: the pushback ring first, then the transport.
inline aErr sStreamNextByte(aStream* stream, uint8_t* byte) {
    if (sStreamGetBufferedChar(stream, byte)) return aErrNone;
    return stream->get(byte, stream->ref);
}

// Working memory for a read: on the stack when small.
class ScratchBuffer {
public:
    explicit ScratchBuffer(size_t length)
        : heap_(length > kStackReadSize ? new (std::nothrow) uint8_t[length] : nullptr),
          data_(length > kStackReadSize ? heap_ : stack_) {}
    ~ScratchBuffer() { delete[] heap_; }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    uint8_t* data() const { return data_; }

private:
    uint8_t stack_[kStackReadSize];
    uint8_t* heap_;
    uint8_t* data_;
};

} // namespace

extern "C" {

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ownerReference) {
    auto* stream = static_cast<aStream*>(std::calloc(1, sizeof(aStream)));
    if (stream == nullptr) return nullptr;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->ref = ownerReference;
    stream->check = kStreamCheck;
    return stream;
}

aErr aStream_Destroy(aStream** streamHandleAddress) {
    if (streamHandleAddress == nullptr) return aErrParam;
    aStream* stream = *streamHandleAddress;
    *streamHandleAddress = nullptr;
    if (!aVALIDSTREAM(stream)) return aErrParam;
    aErr err = aErrNone;
    if (stream->del != nullptr) err = stream->del(stream->ref);
    std::free(stream->ring);
    stream->check = 0;
    std::free(stream);
    return err;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    if (stream->ring == nullptr) {
        stream->ring = static_cast<uint8_t*>(std::malloc(kRingGrowth));
        if (stream->ring == nullptr) return aErrMemory;
        stream->capacity = kRingGrowth;
        stream->count = 0;
        stream->readPos = 0;
        stream->writePos = 0;
    } else if (stream->count >= stream->capacity - 1) {
        const aErr err = sStreamRegrowRing(stream, stream->capacity + kRingGrowth);
        if (err != aErrNone) return err;
    }
    stream->ring[stream->writePos] = byte;
    stream->writePos = (stream->writePos + 1) % stream->capacity;
    ++stream->count;
    return aErrNone;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t length) {
    if (!aVALIDSTREAM(stream) || buffer == nullptr) return aErrParam;
    if (stream->get == nullptr) return aErrMode;
    if (length == 0) return aErrNone;

    // The link engine reads one byte at a time: no working memory needed.
    if (length == 1) {
        uint8_t byte;
        const aErr err = sStreamNextByte(stream, &byte);
        if (err == aErrNone) *buffer = byte;
        return err;
    }

    ScratchBuffer scratch(length);
    uint8_t* work = scratch.data();
    if (work == nullptr) return aErrResource;
    size_t got = 0;
    aErr err = aErrNone;
    while (got < length && err == aErrNone) {
        err = sStreamNextByte(stream, &work[got]);
        if (err == aErrNone) ++got;
    }
    if (err == aErrNotReady) {
        // Nothing is torn: the next read starts with these same bytes.
        const aErr back = sStreamGiveBack(stream, work, got);
        return back != aErrNone ? back : aErr{aErrNotReady};
    }
    if (err == aErrNone || err == aErrEOF) std::memcpy(buffer, work, got);
    return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t length) {
    if (!aVALIDSTREAM(stream) || data == nullptr) return aErrParam;
    if (stream->write == nullptr && stream->put == nullptr) return aErrMode;
    if (length == 0) return aErrNone;
    if (stream->write != nullptr && (length > 1 || stream->put == nullptr))
        return stream->write(data, length, stream->ref);
    for (size_t i = 0; i < length; ++i) {
        const aErr err = stream->put(&data[i], stream->ref);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* lengthOut, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || buffer == nullptr || terminator == nullptr ||
        terminatorLength == 0 || bufferSize == 0)
        return aErrParam;
    if (stream->get == nullptr) return aErrMode;

    ScratchBuffer recordMemory(bufferSize);
    // Bytes already read that must be examined again before new ones: when a partly matched
    // terminator is broken, its first byte is data and a terminator may start in the rest.
    // Matched plus pending bytes never exceed the terminator length.
    ScratchBuffer pendingMemory(terminatorLength), spareMemory(terminatorLength);
    uint8_t* record = recordMemory.data();
    uint8_t* pending = pendingMemory.data();
    uint8_t* spare = spareMemory.data();
    if (record == nullptr || pending == nullptr || spare == nullptr) return aErrResource;

    size_t got = 0, match = 0, pendingHead = 0, pendingCount = 0;
    aErr err = aErrNone;
    bool complete = false;
    while (!complete) {
        uint8_t byte;
        if (pendingCount > 0) {
            byte = pending[pendingHead++];
            --pendingCount;
        } else if ((err = sStreamNextByte(stream, &byte)) != aErrNone) {
            break;
        }
        if (byte == terminator[match]) {
            complete = ++match == terminatorLength;
            continue;
        }
        if (match > 0) {
            size_t n = 0;
            for (size_t i = 1; i < match; ++i)
                spare[n++] = terminator[i];
            spare[n++] = byte;
            for (size_t i = 0; i < pendingCount; ++i)
                spare[n++] = pending[pendingHead + i];
            std::swap(pending, spare);
            pendingHead = 0;
            pendingCount = n;
            byte = terminator[0];
            match = 0;
        }
        record[got++] = byte;
        complete = got == bufferSize;
    }

    if (err == aErrNotReady) {
        // Only the transport answers "not ready", so the ring is empty and nothing is pending:
        // everything taken goes back in order.
        aErr back = sStreamGiveBack(stream, record, got);
        if (back == aErrNone) back = sStreamGiveBack(stream, terminator, match);
        return back != aErrNone ? back : aErr{aErrNotReady};
    }
    if (err != aErrNone && err != aErrEOF) return err;
    if (err == aErrEOF) {
        // The input ended inside what looked like a terminator: those bytes are data, and
        // what no longer fits stays for the next read.
        size_t i = 0;
        while (i < match && got < bufferSize)
            record[got++] = terminator[i++];
        const aErr back = sStreamUngetFront(stream, &terminator[i], match - i);
        if (back != aErrNone) return back;
        if (got > 0) err = aErrNone;
    } else if (pendingCount > 0) {
        const aErr back = sStreamUngetFront(stream, &pending[pendingHead], pendingCount);
        if (back != aErrNone) return back;
    }
    std::memcpy(buffer, record, got);
    if (lengthOut != nullptr) *lengthOut = got;
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t dataLength,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || data == nullptr || terminator == nullptr || terminatorLength == 0)
        return aErrParam;
    const aErr err = aStream_Write(stream, data, dataLength);
    if (err != aErrNone) return err;
    return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t bufferSize) {
    if (bufferSize < 2) return aErrParam;
    static const uint8_t zero = 0;
    size_t length = 0;
    const aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length,
                                        bufferSize - 1, &zero, 1);
    if (err == aErrNone) buffer[length] = '\0';
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* string) {
    if (string == nullptr) return aErrParam;
    const auto* bytes = reinterpret_cast<const uint8_t*>(string);
    const aErr err = aStream_Write(stream, bytes, std::strlen(string));
    if (err != aErrNone) return err;
    static const uint8_t zero = 0;
    return aStream_Write(stream, &zero, 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t bufferSize,
                               const char* terminatorString) {
    if (terminatorString == nullptr || bufferSize < 2) return aErrParam;
    size_t length = 0;
    const aErr err = aStream_ReadRecord(
        stream, reinterpret_cast<uint8_t*>(buffer), &length, bufferSize - 1,
        reinterpret_cast<const uint8_t*>(terminatorString), std::strlen(terminatorString));
    if (err == aErrNone) buffer[length] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* string, const char* terminatorString) {
    if (string == nullptr || terminatorString == nullptr) return aErrParam;
    return aStream_WriteRecord(
        stream, reinterpret_cast<const uint8_t*>(string), std::strlen(string),
        reinterpret_cast<const uint8_t*>(terminatorString), std::strlen(terminatorString) + 1);
}

aErr aStream_Flush(aStream* inStream, aStream* outStream) {
    if (!aVALIDSTREAM(inStream) || !aVALIDSTREAM(outStream)) return aErrParam;
    if (inStream->get == nullptr || outStream->put == nullptr) return aErrMode;
    for (;;) {
        uint8_t byte;
        aErr err = inStream->get(&byte, inStream->ref);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = outStream->put(&byte, outStream->ref);
        if (err != aErrNone) return err;
    }
}

} // extern "C"

/* ---- file streams ------------------------------------------------------------------------ */

namespace {

aErr sFileGet(uint8_t* byte, void* ref) {
    if (ref == nullptr) return aErrIO;
    return aFile_Read(static_cast<aFileHandle>(ref), byte, 1, nullptr);
}

aErr sFilePut(const uint8_t* byte, void* ref) {
    if (ref == nullptr) return aErrIO;
    return aFile_Write(static_cast<aFileHandle>(ref), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* ref) {
    if (ref == nullptr) return aErrIO;
    return aFile_Write(static_cast<aFileHandle>(ref), data, length, nullptr);
}

aErr sFileDelete(void* ref) {
    if (ref == nullptr) return aErrIO;
    aFileHandle file = static_cast<aFileHandle>(ref);
    return aFile_Close(&file);
}

aErr sStreamCreateFile(const char* path, aStream** streamOut, bool output) {
    if (streamOut != nullptr) *streamOut = nullptr;
    if (path == nullptr || streamOut == nullptr) return aErrResource;
    aFileHandle file = aFile_Open(path, output ? aFileModeWrite : aFileModeRead);
    if (file == nullptr) return aErrResource;
    aStream* stream = output ? aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file)
                             : aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
    if (stream == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    *streamOut = stream;
    return aErrNone;
}

} // namespace

extern "C" {

aErr aStream_CreateFileInput(const char* path, aStream** streamOut) {
    return sStreamCreateFile(path, streamOut, false);
}

aErr aStream_CreateFileOutput(const char* path, aStream** streamOut) {
    return sStreamCreateFile(path, streamOut, true);
}

} // extern "C"
