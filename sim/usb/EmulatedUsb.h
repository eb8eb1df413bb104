// Emulated USB devices for tests: umockdev's testbed answers libusb's sysfs look-ups and usbfs
// ioctls in this process, so the library's unmodified USB code reaches devices that behave as
// the tests script them. The process must run under umockdev-wrapper (or with
// libumockdev-preload.so.0 preloaded from its start).
//
//     sim::UsbTestbed bed;
//     sim::UsbDevice& dev = bed.add({.serial = "40F5849A"});
//     dev.attach(module);                  // bulk OUT -> the simulated module, bulk IN <- it
//     Vorlixane_libusb_exit();             // the next libusb use sees the new device list
//
// Device behaviour runs on umockdev's worker thread; every call here is safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#ifndef VORLIXANE_USB_VENDOR_ID
#define VORLIXANE_USB_VENDOR_ID 0x24FF
#endif

namespace sim {

class SimulatedModule;

struct UsbDeviceConfig {
    std::string serial = "40F5849A"; // serial number string descriptor text
    uint16_t vendor = VORLIXANE_USB_VENDOR_ID;
    uint16_t product = 0x0005;
    bool highSpeed = true;       // 480 Mbit/s with 512-byte bulk packets, else 12 Mbit/s with 64
    bool packetInterface = true; // false: the interface has another class triple
};

class UsbDevice {
public:
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    const UsbDeviceConfig& config() const { return config_; }
    const std::string& node() const { return node_; }

    // Bulk OUT bytes go to the module's host input, bulk IN answers come from its output.
    void attach(SimulatedModule& module);
    // Bytes the next bulk IN transfers return (before any attached module's).
    void queueIn(const std::vector<uint8_t>& bytes);

    // ---- faults (each counts down per transfer of its direction) --------------------------
    void stallOut(unsigned transfers);
    void stallIn(unsigned transfers);
    void failOut(unsigned transfers); // completes with a protocol error: libusb's I/O error
    void failIn(unsigned transfers);
    void failClearHalt(bool fail);
    void setBusy(bool busy); // claiming the interface answers EBUSY

    // ---- observation ----------------------------------------------------------------------
    std::vector<size_t> outTransferSizes(); // length of every bulk OUT transfer, in order
    std::vector<uint8_t> outBytes();        // every byte that reached the device
    unsigned clearHalts(uint8_t endpoint);
    unsigned claims();
    bool claimed();

    struct State;

private:
    friend class UsbTestbed;
    UsbDevice(UsbDeviceConfig config, std::string node, std::string sysPath);
    UsbDeviceConfig config_;
    std::string node_;
    std::string sysPath_;
    std::shared_ptr<State> state_;
    void* handler_ = nullptr; // UMockdevIoctlBase
};

class UsbTestbed {
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // True when this process runs in umockdev's emulation.
    static bool available();

    UsbDevice& add(const UsbDeviceConfig& config);
    // Unplugs the device: its pending and later transfers fail as the device being gone.
    void remove(UsbDevice& device);
    // The kernel driver's node "/dev/vorlixane.<serial>", a file holding `content`.
    void addKernelNode(uint32_t serial, const std::vector<uint8_t>& content);

private:
    void* testbed_; // UMockdevTestbed
    unsigned nextDevice_ = 2;
    std::vector<std::unique_ptr<UsbDevice>> devices_;
};

} // namespace sim
