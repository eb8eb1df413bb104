/*
 * Serial port streams over POSIX terminals: raw, and COBS-framed for packet links.
 */
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "aStream.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kSerialPathSize = 4096;

struct SerialState {
    uint32_t rateIndex;
    char path[kSerialPathSize];
    int fd;
    struct termios found; // restored at close
    struct termios applied;
    uint16_t check;
};

constexpr speed_t kRates[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

speed_t sSerialSpeed(uint32_t rateIndex) {
    return rateIndex < sizeof kRates / sizeof kRates[0] ? kRates[rateIndex] : B0;
}

inline SerialState* sSerialState(void* ref) {
    auto* state = static_cast<SerialState*>(ref);
    return state != nullptr && state->check == kSerialCheck ? state : nullptr;
}

aErr sStreamOpenSerial(SerialState* state, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
    if (dataBits > 1 || stopBits > 1) return aErrParam;
    const int fd = ::open(state->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return aErrNotFound;
        if (errno == EACCES) return aErrPermission;
        return aErrIO;
    }
    if (::fcntl(fd, F_SETFL, 0) != 0 || ::tcgetattr(fd, &state->found) != 0) {
        ::close(fd);
        return aErrIO;
    }
    struct termios t = state->found;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
                (stopBits == 1 ? CSTOPB : 0);
    const speed_t speed = sSerialSpeed(state->rateIndex);
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0 || ::tcflush(fd, TCIOFLUSH) != 0) {
        ::tcsetattr(fd, TCSANOW, &state->found);
        ::close(fd);
        return aErrIO;
    }
    state->applied = t;
    state->fd = fd;
    return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* ref) {
    SerialState* state = sSerialState(ref);
    if (state == nullptr) return aErrParam;
    // Wait a moment for input, so that an idle reader sleeps in the kernel instead of
    // spinning, yet notices a stop soon.
    struct pollfd p = {state->fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, aSTREAM_INPUT_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return aErrNotReady;
    const ssize_t n = ::read(state->fd, byte, 1);
    if (n == 1) return aErrNone;
    // With no minimum count a read of nothing is normal, unless the line has hung up.
    if (n == 0) return (p.revents & (POLLHUP | POLLERR)) != 0 ? aErrIO : aErrNotReady;
    if (errno == EAGAIN || errno == EINTR) return aErrNotReady;
    return aErrIO;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* ref) {
    SerialState* state = sSerialState(ref);
    if (state == nullptr) return aErrParam;
    ssize_t n;
    do {
        n = ::write(state->fd, data, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || static_cast<size_t>(n) != length) return aErrIO;
    // Paces the writer to the line.
    while (::tcdrain(state->fd) != 0) {
        if (errno != EINTR) return aErrIO;
    }
    return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* ref) {
    return sSerialWrite(byte, 1, ref);
}

aErr sSerialDelete(void* ref) {
    SerialState* state = sSerialState(ref);
    if (state == nullptr) return aErrParam;
    if (state->fd >= 0) {
        ::tcsetattr(state->fd, TCSANOW, &state->found);
        ::close(state->fd);
    }
    std::memset(state, 0, sizeof *state);
    std::free(state);
    return aErrNone;
}

SerialState* sSerialCreateState(const char* devicePath, uint32_t rateIndex) {
    if (std::strlen(devicePath) >= kSerialPathSize) return nullptr;
    auto* state = static_cast<SerialState*>(std::calloc(1, sizeof(SerialState)));
    if (state == nullptr) return nullptr;
    state->rateIndex = rateIndex;
    std::strcpy(state->path, devicePath);
    state->fd = -1;
    state->check = kSerialCheck;
    return state;
}

} // namespace

extern "C" {

aErr aStream_CreateSerial(const char* devicePath, uint32_t rateIndex, uint8_t parity,
                          uint8_t dataBits, uint8_t stopBits, aStream** streamAddress) {
    if (streamAddress != nullptr) *streamAddress = nullptr;
    if (devicePath == nullptr || streamAddress == nullptr || dataBits > 1 || stopBits > 1)
        return aErrResource;
    SerialState* state = sSerialCreateState(devicePath, rateIndex);
    if (state == nullptr) return aErrResource;
    aStream* stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, state);
    if (stream == nullptr) {
        sSerialDelete(state);
        return aErrResource;
    }
    const aErr err = sStreamOpenSerial(state, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&stream);
        return err;
    }
    *streamAddress = stream;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* devicePath, uint32_t rateIndex, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, aStream** streamAddress) {
    if (streamAddress != nullptr) *streamAddress = nullptr;
    if (devicePath == nullptr || streamAddress == nullptr || dataBits > 1 || stopBits > 1)
        return aErrResource;
    SerialState* state = sSerialCreateState(devicePath, rateIndex);
    if (state == nullptr) return aErrResource;
    aErr err = sStreamOpenSerial(state, parity, dataBits, stopBits);
    if (err != aErrNone) {
        sSerialDelete(state);
        return err;
    }
    err = aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, state,
                                     streamAddress);
    if (err != aErrNone) {
        sSerialDelete(state);
        return aErrResource;
    }
    return aErrNone;
}

} // extern "C"
