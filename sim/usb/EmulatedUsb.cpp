#include "sim/usb/EmulatedUsb.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "sim/module/SimulatedModule.h"

namespace sim {

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

std::vector<uint8_t> descriptors(const UsbDeviceConfig& c) {
    const uint16_t mps = c.highSpeed ? 512 : 64;
    const uint8_t lo = mps & 0xFF, hi = mps >> 8;
    const uint8_t cls = 0xFF, sub = c.packetInterface ? 0x88 : 0x00,
                  proto = c.packetInterface ? 0x10 : 0x00;
    return {// device
            18, 1, 0x00, 0x02, 0, 0, 0, 64, uint8_t(c.vendor & 0xFF), uint8_t(c.vendor >> 8),
            uint8_t(c.product & 0xFF), uint8_t(c.product >> 8), 0x00, 0x01, 0, 0, 1, 1,
            // configuration, 32 bytes in all
            9, 2, 32, 0, 1, 1, 0, 0x80, 50,
            // interface 0
            9, 4, 0, 0, 2, cls, sub, proto, 0,
            // bulk IN 0x81, bulk OUT 0x01
            7, 5, 0x81, 0x02, lo, hi, 0, 7, 5, 0x01, 0x02, lo, hi, 0};
}

} // namespace

struct UsbDevice::State {
    struct Urb {
        UMockdevIoctlData* urb;    // the client's struct usbdevfs_urb
        UMockdevIoctlData* buffer; // its buffer
        bool discarded = false;
    };

    std::mutex mu;
    UsbDeviceConfig config;
    std::deque<Urb> pending;
    std::deque<uint8_t> in;
    SimulatedModule* module = nullptr;
    unsigned stallOut = 0, stallIn = 0, failOut = 0, failIn = 0;
    bool failClearHalt = false, busy = false, removed = false, claimed = false;
    unsigned claims = 0;
    unsigned clearHalts[256] = {};
    std::vector<size_t> outSizes;
    std::vector<uint8_t> outBytes;

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        return static_cast<State*>(self)->handle(client);
    }

    // The ioctl argument is a pointer into the client: its target, `size` bytes.
    static UMockdevIoctlData* target(UMockdevIoctlData* arg, size_t size) {
        GError* error = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, size, &error);
        if (error) g_error_free(error);
        return d;
    }

    gboolean handle(UMockdevIoctlClient* client) {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard<std::mutex> lock(mu);
        if (removed && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            UMockdevIoctlData* out = target(arg, sizeof caps);
            if (out == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            std::memcpy(out->data, &caps, sizeof caps);
            umockdev_ioctl_data_unref(out);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
            if (busy) {
                umockdev_ioctl_client_complete(client, -1, EBUSY);
            } else {
                claimed = true;
                ++claims;
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            return TRUE;
        case USBDEVFS_RELEASEINTERFACE:
            claimed = false;
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_CLEAR_HALT: {
            unsigned int ep = 0;
            if (UMockdevIoctlData* in = target(arg, sizeof ep)) {
                std::memcpy(&ep, in->data, sizeof ep);
                umockdev_ioctl_data_unref(in);
            }
            ++clearHalts[ep & 0xFF];
            if (failClearHalt)
                umockdev_ioctl_client_complete(client, -1, EIO);
            else
                umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_SUBMITURB: {
            UMockdevIoctlData* urbData = target(arg, sizeof(usbdevfs_urb));
            if (urbData == nullptr) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
            GError* error = nullptr;
            UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
                urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer), urb->buffer_length, &error);
            if (buffer == nullptr) {
                if (error) g_error_free(error);
                umockdev_ioctl_data_unref(urbData);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            pending.push_back({urbData, umockdev_ioctl_data_ref(buffer)});
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_DISCARDURB: {
            // The argument is the urb's address in the client; it completes as cancelled.
            bool found = false;
            for (Urb& u : pending)
                if (u.urb->client_addr == *reinterpret_cast<gulong*>(arg->data))
                    u.discarded = found = true;
            umockdev_ioctl_client_complete(client, found ? 0 : -1, found ? 0 : EINVAL);
            return TRUE;
        }
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return TRUE;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
        }
    }

    // Completes the first urb that can complete; EAGAIN when none can yet.
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            auto* urb = reinterpret_cast<usbdevfs_urb*>(it->urb->data);
            if (!complete(*it, urb)) continue;
            Urb done = *it;
            pending.erase(it);
            UMockdevIoctlData* slot = target(arg, sizeof(void*));
            if (slot != nullptr) {
                umockdev_ioctl_data_set_ptr(slot, 0, done.urb);
                umockdev_ioctl_data_unref(slot);
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            umockdev_ioctl_data_unref(done.buffer);
            umockdev_ioctl_data_unref(done.urb);
            return;
        }
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
    }

    // Fills in the urb's outcome; false when it must wait.
    bool complete(Urb& u, usbdevfs_urb* urb) {
        urb->actual_length = 0;
        if (u.discarded) {
            urb->status = -ENOENT;
            return true;
        }
        if (removed) {
            urb->status = -ENODEV;
            return true;
        }
        uint8_t* data = u.buffer->data;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) return control(urb, data);
        const bool isIn = (urb->endpoint & 0x80) != 0;
        unsigned& stall = isIn ? stallIn : stallOut;
        unsigned& fail = isIn ? failIn : failOut;
        if (stall > 0) {
            --stall;
            urb->status = -EPIPE;
            return true;
        }
        if (fail > 0) {
            --fail;
            urb->status = -EPROTO;
            return true;
        }
        urb->status = 0;
        if (!isIn) {
            outSizes.push_back(static_cast<size_t>(urb->buffer_length));
            outBytes.insert(outBytes.end(), data, data + urb->buffer_length);
            if (module != nullptr) module->hostWrite(data, static_cast<size_t>(urb->buffer_length));
            urb->actual_length = urb->buffer_length;
            return true;
        }
        size_t n = 0;
        const size_t capacity = static_cast<size_t>(urb->buffer_length);
        while (n < capacity && !in.empty()) {
            data[n++] = in.front();
            in.pop_front();
        }
        if (n == 0 && module != nullptr)
            n = module->hostRead(data, capacity, std::chrono::milliseconds(0));
        if (n == 0) return false;
        urb->actual_length = static_cast<int>(n);
        return true;
    }

    // GET_DESCRIPTOR for strings: the language table and the serial number.
    bool control(usbdevfs_urb* urb, uint8_t* data) {
        const uint8_t requestType = data[0], request = data[1];
        const uint16_t value = data[2] | (data[3] << 8);
        const uint16_t length = data[6] | (data[7] << 8);
        std::vector<uint8_t> answer;
        if (requestType == 0x80 && request == 6 && (value >> 8) == 3) {
            if ((value & 0xFF) == 0) {
                answer = {4, 3, 0x09, 0x04};
            } else if ((value & 0xFF) == 1) {
                answer = {uint8_t(2 + 2 * config.serial.size()), 3};
                for (char ch : config.serial) {
                    answer.push_back(static_cast<uint8_t>(ch));
                    answer.push_back(0);
                }
            }
        }
        if (answer.empty()) {
            urb->status = -EPIPE;
            return true;
        }
        const size_t n =
            std::min<size_t>({answer.size(), length, static_cast<size_t>(urb->buffer_length) - 8});
        std::memcpy(data + 8, answer.data(), n);
        urb->status = 0;
        urb->actual_length = static_cast<int>(n);
        return true;
    }
};

UsbDevice::UsbDevice(UsbDeviceConfig config, std::string node, std::string sysPath)
    : config_(std::move(config)), node_(std::move(node)), sysPath_(std::move(sysPath)),
      state_(std::make_shared<State>()) {
    state_->config = config_;
}

UsbDevice::~UsbDevice() {
    if (handler_ != nullptr) g_object_unref(handler_);
    std::lock_guard<std::mutex> lock(state_->mu);
    for (State::Urb& u : state_->pending) {
        umockdev_ioctl_data_unref(u.buffer);
        umockdev_ioctl_data_unref(u.urb);
    }
    state_->pending.clear();
}

#define LOCKED(body)                                                                               \
    do {                                                                                           \
        std::lock_guard<std::mutex> lock(state_->mu);                                              \
        body;                                                                                      \
    } while (0)

void UsbDevice::attach(SimulatedModule& module) {
    LOCKED(state_->module = &module);
}
void UsbDevice::queueIn(const std::vector<uint8_t>& bytes) {
    LOCKED(state_->in.insert(state_->in.end(), bytes.begin(), bytes.end()));
}
void UsbDevice::stallOut(unsigned n) {
    LOCKED(state_->stallOut = n);
}
void UsbDevice::stallIn(unsigned n) {
    LOCKED(state_->stallIn = n);
}
void UsbDevice::failOut(unsigned n) {
    LOCKED(state_->failOut = n);
}
void UsbDevice::failIn(unsigned n) {
    LOCKED(state_->failIn = n);
}
void UsbDevice::failClearHalt(bool fail) {
    LOCKED(state_->failClearHalt = fail);
}
void UsbDevice::setBusy(bool busy) {
    LOCKED(state_->busy = busy);
}
std::vector<size_t> UsbDevice::outTransferSizes() {
    LOCKED(return state_->outSizes);
}
std::vector<uint8_t> UsbDevice::outBytes() {
    LOCKED(return state_->outBytes);
}
unsigned UsbDevice::clearHalts(uint8_t endpoint) {
    LOCKED(return state_->clearHalts[endpoint]);
}
unsigned UsbDevice::claims() {
    LOCKED(return state_->claims);
}
bool UsbDevice::claimed() {
    LOCKED(return state_->claimed);
}

UsbTestbed::UsbTestbed() : testbed_(umockdev_testbed_new()) {}

UsbTestbed::~UsbTestbed() {
    auto* tb = static_cast<UMockdevTestbed*>(testbed_);
    for (auto& d : devices_) {
        {
            std::lock_guard<std::mutex> lock(d->state_->mu);
            d->state_->module = nullptr;
            d->state_->removed = true;
        }
        umockdev_testbed_detach_ioctl(tb, d->node_.c_str(), nullptr);
    }
    devices_.clear();
    g_object_unref(tb);
}

bool UsbTestbed::available() {
    return umockdev_in_mock_environment();
}

UsbDevice& UsbTestbed::add(const UsbDeviceConfig& config) {
    auto* tb = static_cast<UMockdevTestbed*>(testbed_);
    const unsigned devnum = nextDevice_++;
    char node[64], sys[96];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", devnum);
    std::snprintf(sys, sizeof sys, "/devices/pci0000:00/0000:00:14.0/usb1/1-%u", devnum);
    std::unique_ptr<UsbDevice> dev(new UsbDevice(config, node, std::string("/sys") + sys));

    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(UsbDevice::State::onIoctl),
                     dev->state_.get());
    dev->handler_ = handler;
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, node, handler, &error)) {
        std::string what = error ? error->message : "attach_ioctl failed";
        if (error) g_error_free(error);
        throw std::runtime_error(what);
    }
    char record[2048];
    std::snprintf(record, sizeof record,
                  "P: %s\nN: bus/usb/001/%03u\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                  "E: DEVNAME=%s\nE: BUSNUM=001\nE: DEVNUM=%03u\nA: busnum=1\\n\n"
                  "A: devnum=%u\\n\nA: speed=%s\\n\nA: bConfigurationValue=1\\n\n"
                  "H: descriptors=%s\n",
                  sys, devnum, node, devnum, devnum, config.highSpeed ? "480" : "12",
                  hex(descriptors(config)).c_str());
    if (!umockdev_testbed_add_from_string(tb, record, &error)) {
        std::string what = error ? error->message : "add_from_string failed";
        if (error) g_error_free(error);
        throw std::runtime_error(what);
    }
    devices_.push_back(std::move(dev));
    return *devices_.back();
}

void UsbTestbed::remove(UsbDevice& device) {
    auto* tb = static_cast<UMockdevTestbed*>(testbed_);
    {
        std::lock_guard<std::mutex> lock(device.state_->mu);
        device.state_->removed = true;
        device.state_->module = nullptr;
    }
    umockdev_testbed_uevent(tb, device.sysPath_.c_str(), "remove");
    umockdev_testbed_remove_device(tb, device.sysPath_.c_str());
}

void UsbTestbed::addKernelNode(uint32_t serial, const std::vector<uint8_t>& content) {
    auto* tb = static_cast<UMockdevTestbed*>(testbed_);
    char record[512];
    std::snprintf(record, sizeof record,
                  "P: /devices/virtual/misc/vorlixane.%08X\nN: vorlixane.%08X=%s\n"
                  "E: SUBSYSTEM=misc\nE: DEVNAME=/dev/vorlixane.%08X\n",
                  serial, serial, hex(content).c_str(), serial);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(tb, record, &error)) {
        std::string what = error ? error->message : "add_from_string failed";
        if (error) g_error_free(error);
        throw std::runtime_error(what);
    }
}

} // namespace sim

// Under ThreadSanitizer: the emulation (glib, umockdev) and the USB stack it serves (libusb,
// libudev) synchronise in libraries that are not instrumented, so their own workings look racy
// to it. Only reports with a frame in those libraries are silenced.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so\nrace:libgobject-2.0.so\nrace:libumockdev.so\n"
           "race:libusb-1.0.so\nrace:libudev.so\n";
}
