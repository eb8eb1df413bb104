/*
 * COBS framing stream: each packet written becomes one frame (COBS body of address, length,
 * data and CRC-8, then a 0x00 delimiter); received frames are checked and their packets
 * handed out byte by byte.
 *
 * The receive side (used by the reading thread) and the transmit side (used by the writing
 * thread) share no state.
 */
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "aPacket.h"
#include "aStream.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
// Address, length, 28 data bytes and the CRC.
constexpr size_t kFrameMax = aPACKET_MAX_SERIALIZED + 1;
// Encoded body: one code byte more than the frame.
constexpr size_t kBodyMax = kFrameMax + 1;

struct CobsState {
    aStreamGetProc innerGet;
    aStreamPutProc innerPut;
    aStreamWriteProc innerWrite;
    aStreamDeleteProc innerDelete;
    void* innerRef;
    uint16_t check;
    // Receive side.
    uint8_t rx[kBodyMax];
    size_t rxLength;
    bool rxOverflow; // the body ran past kBodyMax: the frame is bad, whatever its start says
    uint8_t frameReady;
    size_t framePos;
    size_t frameLength;
    // Transmit side.
    aPacket* assembler;
    uint8_t tx[COBS_ENCODED_MAX(kFrameMax) + 1];
    size_t txLength;
};

inline CobsState* sCobsState(void* ref) {
    auto* state = static_cast<CobsState*>(ref);
    return state != nullptr && state->check == kCobsCheck ? state : nullptr;
}

aErr sCobsInnerWrite(CobsState* state, const uint8_t* data, size_t length) {
    if (state->innerWrite != nullptr) return state->innerWrite(data, length, state->innerRef);
    if (state->innerPut == nullptr) return aErrMode;
    for (size_t i = 0; i < length; ++i) {
        const aErr err = state->innerPut(&data[i], state->innerRef);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr sCobsSendPacket(CobsState* state) {
    uint64_t length = 0;
    aErr err = aPacket_GetBytes(state->assembler, state->tx, sizeof state->tx, &length);
    aPacket_Reset(state->assembler);
    if (err != aErrNone) return err;
    state->tx[length] = crc8_create(state->tx, length);
    state->txLength = cobs_encode_inplace(state->tx, length + 1);
    state->tx[state->txLength++] = 0x00;
    return sCobsInnerWrite(state, state->tx, state->txLength);
}

aErr sCobsWrite(const uint8_t* data, size_t length, void* ref) {
    CobsState* state = sCobsState(ref);
    if (state == nullptr) return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(state->assembler, data[i]) != aErrNone) {
            // The byte is skipped, and so is the packet it broke: the assembler counts every
            // byte it is fed, so keeping the broken packet would corrupt all that follow.
            aPacket_Reset(state->assembler);
            continue;
        }
        if (aPacket_IsComplete(state->assembler)) {
            const aErr err = sCobsSendPacket(state);
            if (err != aErrNone) result = err;
        }
    }
    return result;
}

aErr sCobsPut(const uint8_t* byte, void* ref) {
    CobsState* state = sCobsState(ref);
    if (state == nullptr) return aErrParam;
    if (state->innerPut != nullptr) return state->innerPut(byte, state->innerRef);
    return sCobsInnerWrite(state, byte, 1);
}

// Checks the collected body at a delimiter; a good frame becomes the pending frame.
aErr sCobsFinishFrame(CobsState* state) {
    const bool overflow = state->rxOverflow;
    const size_t m = cobs_decode_inplace(state->rx, state->rxLength);
    state->rxLength = 0;
    state->rxOverflow = false;
    if (overflow || m <= 2 || m != state->rx[1] + 3u ||
        !crc8_check(state->rx, m - 1, state->rx[m - 1]))
        return aErrPacket;
    state->frameLength = m - 1;
    state->framePos = 0;
    state->frameReady = 1;
    return aErrNotReady;
}

aErr sCobsGet(uint8_t* byte, void* ref) {
    CobsState* state = sCobsState(ref);
    if (state == nullptr) return aErrParam;
    if (state->frameReady) {
        *byte = state->rx[state->framePos++];
        if (state->framePos == state->frameLength) state->frameReady = 0;
        return aErrNone;
    }
    if (state->innerGet == nullptr) return aErrMode;
    uint8_t in;
    const aErr err = state->innerGet(&in, state->innerRef);
    if (err != aErrNone) {
        // A failing port reads as idle; waiting a moment keeps a reader that retries at once
        // from spinning on an error that answers without delay.
        if (err != aErrNotReady)
            std::this_thread::sleep_for(std::chrono::milliseconds(aSTREAM_INPUT_WAIT_MS));
        return aErrNotReady;
    }
    if (in != 0x00) {
        if (state->rxLength < kBodyMax)
            state->rx[state->rxLength++] = in;
        else
            state->rxOverflow = true;
        return aErrNotReady;
    }
    if (state->rxLength == 0 && !state->rxOverflow) return aErrNotReady;
    return sCobsFinishFrame(state);
}

aErr sCobsDelete(void* ref) {
    CobsState* state = sCobsState(ref);
    if (state == nullptr) return aErrParam;
    const aErr err =
        state->innerDelete != nullptr ? state->innerDelete(state->innerRef) : aErr{aErrNone};
    aPacket_Destroy(&state->assembler);
    state->check = 0;
    std::free(state);
    return err;
}

} // namespace

extern "C" aErr aStream_CreateCobsEncoding(aStreamGetProc innerGet, aStreamPutProc innerPut,
                                           aStreamWriteProc innerWrite,
                                           aStreamDeleteProc innerDelete, void* innerReference,
                                           aStream** streamAddress) {
    if (streamAddress == nullptr) return aErrParam;
    *streamAddress = nullptr;
    auto* state = static_cast<CobsState*>(std::calloc(1, sizeof(CobsState)));
    if (state == nullptr) return aErrMemory;
    state->assembler = aPacket_Create();
    if (state->assembler == nullptr) {
        std::free(state);
        return aErrMemory;
    }
    state->innerGet = innerGet;
    state->innerPut = innerPut;
    state->innerWrite = innerWrite;
    state->innerDelete = innerDelete;
    state->innerRef = innerReference;
    state->check = kCobsCheck;
    aStream* stream = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, state);
    if (stream == nullptr) {
        aPacket_Destroy(&state->assembler);
        std::free(state);
        return aErrResource;
    }
    *streamAddress = stream;
    return aErrNone;
}
