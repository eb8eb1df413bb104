/*
 * USB transport over libusb and over the kernel driver's device node.
 */
#include "aUSB.h"

#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "aFile.h"
#include "aLinkPrivate.h"

namespace {

constexpr uint32_t kDebugUSB = 0x400;
#define USB_DEBUG(...) LINK_DEBUG(kDebugUSB, __VA_ARGS__)

std::mutex gContextMutex;
libusb_context* gContext = nullptr;
// Set once libusb_init has failed: a machine without USB stays without it, and asking again on
// every enumeration would only repeat the failure. Cleared by Vorlixane_libusb_exit.
bool gContextFailed = false;

struct USBStream {
    uint32_t serial;
    vxusb_device* device;
    uint16_t check;
};

// The reading and the writing thread share the error count and the state without a lock; a
// lost update only shifts when the fifth error is counted. Relaxed atomic access keeps that
// sharing well-defined while the record stays a plain C structure.
uint32_t loadState(const vxusb_device* record) {
    return __atomic_load_n(&record->state, __ATOMIC_RELAXED);
}
void storeState(vxusb_device* record, uint32_t state) {
    __atomic_store_n(&record->state, state, __ATOMIC_RELAXED);
}

aErr handleErrorTolerance(vxusb_device* record, aErr result, aErr forgiven) {
    if (result != aErrIO) {
        __atomic_store_n(&record->error_count, 0, __ATOMIC_RELAXED);
        return result;
    }
    const uint8_t before = __atomic_load_n(&record->error_count, __ATOMIC_RELAXED);
    if (before < 0xFF) __atomic_store_n(&record->error_count, before + 1, __ATOMIC_RELAXED);
    if (before < aUSB_FORGIVEN_IO_ERRORS) return forgiven;
    storeState(record, kUSBStateFailed);
    return aErrIO;
}

aErr stateError(uint32_t state, const char* line) {
    switch (state) {
    case kUSBStateClosed:
        return aErrConnection;
    case kUSBStateCreated:
    case kUSBStateOpened:
        return aErrNotReady;
    default:
        USB_DEBUG(line, static_cast<int>(state));
        return aErrIO;
    }
}

aErr sUSBStreamGet(uint8_t* byte, void* ref) {
    auto* s = static_cast<USBStream*>(ref);
    if (s == nullptr || s->check != aUSB_STREAM_CHECK) return aErrParam;
    return vxusb_get_from_device(s->device, byte);
}

aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* ref) {
    auto* s = static_cast<USBStream*>(ref);
    if (s == nullptr || s->check != aUSB_STREAM_CHECK) return aErrParam;
    return vxusb_write_to_device(s->device, data, length);
}

aErr sUSBStreamPut(const uint8_t* byte, void* ref) {
    return sUSBStreamWrite(byte, 1, ref);
}

aErr sUSBStreamDelete(void* ref) {
    auto* s = static_cast<USBStream*>(ref);
    if (s == nullptr || s->check != aUSB_STREAM_CHECK) return aErrParam;
    const aErr err = vxusb_close_vorlixane_device(s->device);
    if (err != aErrNone) return err;
    vxusb_destroy(&s->device);
    s->check = 0;
    s->serial = 0;
    delete s;
    return aErrNone;
}

} // namespace

extern "C" {

libusb_context* Vorlixane_libusb_context(void) {
    std::lock_guard<std::mutex> lock(gContextMutex);
    if (gContext == nullptr && !gContextFailed) {
        libusb_context* context = nullptr;
        if (libusb_init(&context) == LIBUSB_SUCCESS)
            gContext = context;
        else
            gContextFailed = true;
    }
    return gContext;
}

aErr Vorlixane_libusb_init(void) {
    return Vorlixane_libusb_context() != nullptr ? aErrNone : aErrInitialization;
}

void Vorlixane_libusb_exit(void) {
    std::lock_guard<std::mutex> lock(gContextMutex);
    if (gContext != nullptr) libusb_exit(gContext);
    gContext = nullptr;
    gContextFailed = false;
}

bool is_vorlixane_device(const libusb_device_descriptor* descriptor) {
    return descriptor != nullptr && descriptor->idVendor == VORLIXANE_USB_VENDOR_ID &&
           (descriptor->idProduct & 0x8000) == 0;
}

bool vxusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[64];
    std::snprintf(path, sizeof path, aUSB_KERNEL_NODE_FORMAT, serialNumber);
    return aFile_Exists(path);
}

vxusb_device* vxusb_create_usb(uint32_t mode) {
    if (mode == kUSBModeLibusb && Vorlixane_libusb_context() == nullptr) return nullptr;
    auto* record = new (std::nothrow) vxusb_device{};
    if (record == nullptr) return nullptr;
    record->mode = mode;
    record->node_fd = -1;
    record->state = kUSBStateCreated;
    record->read_position = record->read_buffer;
    return record;
}

aErr vxusb_destroy(vxusb_device** recordAddress) {
    if (recordAddress == nullptr || *recordAddress == nullptr) return aErrParam;
    vxusb_device* record = *recordAddress;
    if (record->handle != nullptr) {
        libusb_release_interface(record->handle, record->interface_number);
        libusb_close(record->handle);
    }
    if (record->node_fd >= 0) ::close(record->node_fd);
    delete record;
    *recordAddress = nullptr;
    return aErrNone;
}

aErr vxusb_open_vorlixane_device(vxusb_device* record, const char* serialText) {
    if (record == nullptr || serialText == nullptr) return aErrParam;
    return record->mode == kUSBModeLibusb ? vxusb_open_vorlixane_USBlib_device(record, serialText)
                                          : vxusb_open_vorlixane_kernel_device(record, serialText);
}

aErr vxusb_write_to_device(vxusb_device* record, const uint8_t* data, size_t length) {
    if (record == nullptr || (data == nullptr && length != 0)) return aErrParam;
    return record->mode == kUSBModeLibusb ? vxusb_write_to_USBlib_device(record, data, length)
                                          : vxusb_write_to_kernel_device(record, data, length);
}

aErr vxusb_get_from_device(vxusb_device* record, uint8_t* byteOut) {
    if (record == nullptr || byteOut == nullptr) return aErrParam;
    return record->mode == kUSBModeLibusb ? vxusb_get_from_USBlib_device(record, byteOut)
                                          : vxusb_get_from_kernel_device(record, byteOut);
}

aErr vxusb_close_vorlixane_device(vxusb_device* record) {
    if (record == nullptr) return aErrParam;
    return record->mode == kUSBModeLibusb ? vxusb_close_vorlixane_USBlib_device(record)
                                          : vxusb_close_vorlixane_kernel_device(record);
}

int find_usb_endpoints(vxusb_device* record) {
    if (record == nullptr || record->handle == nullptr) return LIBUSB_ERROR_NO_DEVICE;
    libusb_device* device = libusb_get_device(record->handle);
    libusb_device_descriptor descriptor;
    int rc = libusb_get_device_descriptor(device, &descriptor);
    if (rc != LIBUSB_SUCCESS) return rc;
    libusb_config_descriptor* config = nullptr;
    rc = libusb_get_config_descriptor(device, 0, &config);
    if (rc != LIBUSB_SUCCESS) return rc;

    rc = LIBUSB_ERROR_NO_DEVICE;
    for (int i = 0; i < config->bNumInterfaces && rc != LIBUSB_SUCCESS; ++i) {
        const libusb_interface& iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = iface.altsetting[a];
            if (alt.bInterfaceClass != aUSB_INTERFACE_CLASS ||
                alt.bInterfaceSubClass != aUSB_INTERFACE_SUBCLASS ||
                alt.bInterfaceProtocol != aUSB_INTERFACE_PROTOCOL)
                continue;
            uint8_t in = 0, out = 0;
            uint16_t inSize = 0, outSize = 0;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x02) == 0) continue; // bulk or interrupt only
                if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    in = ep.bEndpointAddress;
                    inSize = ep.wMaxPacketSize;
                } else {
                    out = ep.bEndpointAddress;
                    outSize = ep.wMaxPacketSize;
                }
            }
            if (in == 0 || out == 0 || inSize == 0 || outSize == 0) break;
            record->interface_number = alt.bInterfaceNumber;
            record->in_endpoint = in;
            record->out_endpoint = out;
            record->in_max_packet_size = inSize;
            record->out_max_packet_size = outSize;
            USB_DEBUG("In Endpoint Max packet: %d\n", inSize);
            USB_DEBUG("Out Endpoint Max packet: %d\n", outSize);
            rc = LIBUSB_SUCCESS;
            break;
        }
    }
    libusb_free_config_descriptor(config);
    return rc;
}

aErr vxusb_open_vorlixane_USBlib_device(vxusb_device* record, const char* serialText) {
    if (record == nullptr || serialText == nullptr) return aErrParam;
    if (record->mode != kUSBModeLibusb) return aErrMode;
    libusb_context* context = Vorlixane_libusb_context();
    if (context == nullptr) return aErrNotFound;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return aErrNotFound;

    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            !is_vorlixane_device(&descriptor))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS) continue;
        unsigned char text[aUSB_SERIAL_TEXT_SIZE] = {};
        const int n = descriptor.iSerialNumber == 0
                          ? -1
                          : libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                               text, sizeof text - 1);
        if (n < 0 || std::strcmp(reinterpret_cast<char*>(text), serialText) != 0) {
            libusb_close(handle);
            continue;
        }

        std::snprintf(record->serial_text, sizeof record->serial_text, "%s", serialText);
        record->handle = handle;
        record->state = kUSBStateOpened;
        if (find_usb_endpoints(record) != LIBUSB_SUCCESS) {
            result = aErrConfiguration;
        } else {
            const int rc = libusb_claim_interface(handle, record->interface_number);
            switch (rc) {
            case LIBUSB_SUCCESS:
                result = aErrNone;
                break;
            case LIBUSB_ERROR_BUSY:
            case LIBUSB_ERROR_NO_DEVICE:
                result = aErrBusy;
                break;
            case LIBUSB_ERROR_ACCESS:
                result = aErrPermission;
                break;
            default:
                result = aErrUnknown;
                break;
            }
        }
        if (result == aErrNone) {
            record->state = kUSBStateReady;
            record->error_count = 0;
            record->bytes_available = 0;
            record->read_position = record->read_buffer;
        } else {
            libusb_close(handle);
            record->handle = nullptr;
            record->state = kUSBStateClosed;
        }
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

aErr vxusb_write_to_USBlib_device(vxusb_device* record, const uint8_t* data, size_t length) {
    if (record == nullptr || (data == nullptr && length != 0)) return aErrParam;
    if (record->mode != kUSBModeLibusb) return aErrMode;
    aErr result = aErrNone;
    if (const uint32_t state = loadState(record); state != kUSBStateReady) {
        result = stateError(state, "libusb WRITE error dev state: %d\n");
    } else {
        size_t remaining = length;
        unsigned failures = 0;
        while (remaining > 0 && failures < aUSB_MAX_FAILED_WRITES && result == aErrNone) {
            size_t chunk =
                remaining < record->out_max_packet_size ? remaining : record->out_max_packet_size;
            if (chunk == 512) chunk = 511; // no transfer may end on a full 512-byte packet
            int sent = 0;
            const int rc = libusb_bulk_transfer(record->handle, record->out_endpoint,
                                                const_cast<uint8_t*>(data), static_cast<int>(chunk),
                                                &sent, aUSB_WRITE_TIMEOUT_MS);
            USB_DEBUG("libusb lenSent: %d - nSize: %d\n", sent, static_cast<int>(chunk));
            if (sent > 0) {
                data += sent;
                remaining -= static_cast<size_t>(sent);
            }
            if (rc == LIBUSB_SUCCESS) continue;
            ++failures;
            USB_DEBUG("libusb error: %d\n", rc);
            if (rc == LIBUSB_ERROR_PIPE) {
                const int halt = libusb_clear_halt(record->handle, record->out_endpoint);
                if (halt != LIBUSB_SUCCESS) {
                    USB_DEBUG("libusb WRITE error clearing halt: %d\n", halt);
                    result = aErrIO;
                }
            } else if (rc == LIBUSB_ERROR_NO_DEVICE) {
                // Gone for good: retrying cannot help, and the tolerance counts it as I/O.
                result = aErrIO;
            }
        }
        if (result == aErrNone && remaining > 0) result = aErrWrite;
    }
    return handleErrorTolerance(record, result, aErrNone);
}

aErr vxusb_get_from_USBlib_device(vxusb_device* record, uint8_t* byteOut) {
    if (record == nullptr || byteOut == nullptr) return aErrParam;
    if (record->mode != kUSBModeLibusb) return aErrMode;
    aErr result = aErrNone;
    if (record->bytes_available <= 0) {
        if (const uint32_t state = loadState(record); state != kUSBStateReady) {
            result = stateError(state, "libusb READ error dev state: %d\n");
        } else {
            int got = 0;
            const int rc =
                libusb_bulk_transfer(record->handle, record->in_endpoint, record->read_buffer,
                                     aUSB_READ_BUFFER_SIZE, &got, aUSB_READ_TIMEOUT_MS);
            if (got < 0) got = 0;
            record->read_position = record->read_buffer;
            record->bytes_available = 0;
            switch (rc) {
            case LIBUSB_SUCCESS:
                record->bytes_available = got;
                break;
            case LIBUSB_ERROR_PIPE:
                libusb_clear_halt(record->handle, record->in_endpoint);
                result = aErrNotReady;
                break;
            case LIBUSB_ERROR_TIMEOUT:
                record->bytes_available = got;
                if (got == 0) result = aErrNotReady;
                break;
            default:
                USB_DEBUG("libusb READ error bulk transfer: %d\n", rc);
                result = aErrIO;
                break;
            }
        }
    }
    if (result == aErrNone) {
        if (record->bytes_available > 0) {
            *byteOut = *record->read_position++;
            --record->bytes_available;
        } else {
            result = aErrNotReady; // a zero-length transfer hands out nothing
        }
    }
    return handleErrorTolerance(record, result, aErrNotReady);
}

aErr vxusb_close_vorlixane_USBlib_device(vxusb_device* record) {
    if (record == nullptr || record->mode != kUSBModeLibusb || record->handle == nullptr)
        return aErrMode;
    libusb_release_interface(record->handle, record->interface_number);
    libusb_close(record->handle);
    record->handle = nullptr;
    storeState(record, kUSBStateClosed);
    record->interface_number = 0;
    record->in_endpoint = 0;
    record->out_endpoint = 0;
    record->bytes_available = 0;
    record->read_position = record->read_buffer;
    return aErrNone;
}

aErr vxusb_open_vorlixane_kernel_device(vxusb_device* record, const char* serialText) {
    if (record == nullptr || serialText == nullptr) return aErrParam;
    if (record->mode != kUSBModeKernel) return aErrMode;
    std::snprintf(record->serial_text, sizeof record->serial_text, "%s", serialText);
    char path[aUSB_SERIAL_TEXT_SIZE + 32];
    std::snprintf(path, sizeof path, "/dev/vorlixane.%s", serialText);
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    record->node_fd = fd;
    return aErrNone;
}

aErr vxusb_write_to_kernel_device(vxusb_device* record, const uint8_t* data, size_t length) {
    if (record == nullptr || record->mode != kUSBModeKernel || record->node_fd < 0) return aErrMode;
    size_t remaining = length;
    for (int calls = 0; remaining > 0 && calls < 1000; ++calls) {
        const ssize_t n = ::write(record->node_fd, data, remaining);
        if (n < 0) {
            if (errno == EINTR) continue;
            return aErrIO;
        }
        data += n;
        remaining -= static_cast<size_t>(n);
    }
    return remaining == 0 ? aErrNone : aErrIO;
}

aErr vxusb_get_from_kernel_device(vxusb_device* record, uint8_t* byteOut) {
    if (record == nullptr || record->mode != kUSBModeKernel || record->node_fd < 0) return aErrMode;
    if (byteOut == nullptr) return aErrParam;
    const ssize_t n = ::read(record->node_fd, byteOut, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return aErrNotReady;
    return errno == EFAULT || errno == EAGAIN || errno == EINTR ? aErrNotReady : aErrIO;
}

aErr vxusb_close_vorlixane_kernel_device(vxusb_device* record) {
    if (record == nullptr || record->mode != kUSBModeKernel) return aErrMode;
    if (record->node_fd < 0) return aErrNone;
    if (::close(record->node_fd) != 0) return aErrCancel;
    record->node_fd = -1;
    record->state = kUSBStateClosed;
    return aErrNone;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** streamOut) {
    if (streamOut != nullptr) *streamOut = nullptr;
    if (serialNumber == 0 || streamOut == nullptr) return aErrParam;
    const uint32_t mode =
        vxusb_is_kernel_driver_installed(serialNumber) ? kUSBModeKernel : kUSBModeLibusb;
    auto* state = new (std::nothrow) USBStream{serialNumber, nullptr, aUSB_STREAM_CHECK};
    if (state == nullptr) return aErrMemory;
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", serialNumber);
    state->device = vxusb_create_usb(mode);
    if (state->device == nullptr) {
        delete state;
        // Without a libusb context there is no USB at all: no such device.
        return mode == kUSBModeLibusb && Vorlixane_libusb_context() == nullptr ? aErrNotFound
                                                                               : aErrResource;
    }
    const aErr err = vxusb_open_vorlixane_device(state->device, serialText);
    if (err != aErrNone) {
        vxusb_destroy(&state->device);
        delete state;
        return err;
    }
    aStream* stream =
        aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, state);
    if (stream == nullptr) {
        vxusb_close_vorlixane_device(state->device);
        vxusb_destroy(&state->device);
        delete state;
        return aErrMemory;
    }
    *streamOut = stream;
    return aErrNone;
}

} // extern "C"
