// The USB transport and USB discovery against emulated devices (umockdev): enumeration, open
// by serial number, claim failures, write chunking, error tolerance, stalls, removal and the
// kernel driver's node.
#include <gtest/gtest.h>

#include <libusb.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "aDiscovery.h"
#include "aLink.h"
#include "aUSB.h"
#include "sim/usb/EmulatedUsb.h"

namespace {

// Each test gets its own testbed; the shared context is torn down so that libusb scans it.
class Usb : public ::testing::Test {
protected:
    void SetUp() override {
        Vorlixane_libusb_exit();
        bed = std::make_unique<sim::UsbTestbed>();
        ASSERT_TRUE(sim::UsbTestbed::available()) << "run under umockdev-wrapper";
    }
    void TearDown() override {
        Vorlixane_libusb_exit();
        bed.reset();
    }
    sim::UsbDevice& add(sim::UsbDeviceConfig config) {
        sim::UsbDevice& d = bed->add(config);
        Vorlixane_libusb_exit();
        return d;
    }
    // Opens the stream's device record directly, for transfer-level checks.
    vxusb_device* openRecord(const char* serial) {
        vxusb_device* r = vxusb_create_usb(kUSBModeLibusb);
        EXPECT_NE(r, nullptr);
        if (r == nullptr) return nullptr;
        EXPECT_EQ(vxusb_open_vorlixane_device(r, serial), aErrNone);
        return r;
    }
    void closeRecord(vxusb_device*& r) {
        if (r == nullptr) return;
        vxusb_close_vorlixane_device(r);
        vxusb_destroy(&r);
    }
    std::unique_ptr<sim::UsbTestbed> bed;
};

struct Found {
    std::vector<linkSpec> specs;
    size_t stopAfter = 100;
};

bool collect(const linkSpec* spec, bool* counted, void* ref) {
    auto* f = static_cast<Found*>(ref);
    f->specs.push_back(*spec);
    *counted = true;
    return f->specs.size() < f->stopAfter;
}

TEST_F(Usb, EnumerationListsOnlyFamilyDevicesWithEightCharacterSerials) {
    add({.serial = "40F5849A", .product = 0x0013});
    add({.serial = "ABCDEF1"});                                              // 7 characters
    add({.serial = "12345678", .vendor = VORLIXANE_USB_VENDOR_ID ^ 0x0100}); // another vendor
    add({.serial = "87654321", .product = 0x8005});                          // bit 15 set
    add({.serial = "0000ABCD", .product = 0x0105, .highSpeed = false});
    add({.serial = "123456789"}); // 9 characters

    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, 0x0100007F), 2u);
    ASSERT_EQ(found.specs.size(), 2u);
    std::sort(found.specs.begin(), found.specs.end(),
              [](const linkSpec& a, const linkSpec& b) { return a.serial_num < b.serial_num; });
    const struct { uint32_t serial, model; } expected[] = {{0x0000ABCD, 0x05}, {0x40F5849A, 0x13}};
    for (size_t i = 0; i < 2; ++i) {
        const linkSpec& s = found.specs[i];
        EXPECT_EQ(s.type, USB);
        EXPECT_EQ(s.serial_num, expected[i].serial);
        EXPECT_EQ(s.usb_id, expected[i].serial);
        EXPECT_EQ(s.model, expected[i].model);
        EXPECT_EQ(s.module, 0u);
        EXPECT_EQ(s.router, 0u);
        EXPECT_EQ(s.router_serial_num, 0u);
    }

    // The callback stops the enumeration; counting is the callback's choice.
    Found first;
    first.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &first, 0x0100007F), 1u);
    EXPECT_EQ(first.specs.size(), 1u);
    EXPECT_EQ(aDiscovery_EnumerateModules(
                  USB, [](const linkSpec*, bool*, void*) { return true; }, nullptr, 0),
              0u);
    EXPECT_EQ(aDiscovery_EnumerateModules(SERIAL, collect, &found, 0), 0u);

    linkSpec* spec = aDiscovery_FindModule(USB, 0x0000ABCD, 0x0100007F);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serial_num, 0x0000ABCDu);
    EXPECT_EQ(spec->model, 0x05u);
    aLinkSpec_Destroy(&spec);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x0ABCDEF1, 0x0100007F), nullptr);
    EXPECT_EQ(aDiscovery_FindModule(USB, 0x12345678, 0x0100007F), nullptr);
    spec = aDiscovery_FindFirstModule(USB, 0x0100007F);
    ASSERT_NE(spec, nullptr);
    EXPECT_TRUE(spec->serial_num == 0x0000ABCD || spec->serial_num == 0x40F5849A);
    aLinkSpec_Destroy(&spec);
}

TEST_F(Usb, OpenBySerialNumberAndClaimFailures) {
    sim::UsbDevice& abcd = add({.serial = "0000ABCD", .highSpeed = false});
    sim::UsbDevice& busy = add({.serial = "11112222"});
    add({.serial = "33334444", .packetInterface = false});
    busy.setBusy(true);

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone); // looks for "0000ABCD"
    EXPECT_TRUE(abcd.claimed());
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_FALSE(abcd.claimed());

    const struct {
        uint32_t serial;
        aErr expected;
    } cases[] = {
        {0x11112222, aErrBusy},
        {0x33334444, aErrConfiguration},
        {0x55556666, aErrNotFound},
        {0xABC, aErrNotFound},
    };
    for (const auto& c : cases) {
        stream = reinterpret_cast<aStream*>(0x1);
        EXPECT_EQ(aStream_CreateUSB(c.serial, &stream), c.expected) << std::hex << c.serial;
        EXPECT_EQ(stream, nullptr);
    }

    // The record of a refused claim is left closed, without a handle.
    vxusb_device* r = vxusb_create_usb(kUSBModeLibusb);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(vxusb_open_vorlixane_device(r, "11112222"), aErrBusy);
    EXPECT_EQ(r->state, static_cast<uint32_t>(kUSBStateClosed));
    EXPECT_EQ(r->handle, nullptr);
    uint8_t byte = 0;
    EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrConnection);
    EXPECT_EQ(vxusb_write_to_device(r, &byte, 1), aErrConnection);
    vxusb_destroy(&r);
}

TEST_F(Usb, WritesAreCutIntoPacketSizedChunks) {
    sim::UsbDevice& high = add({.serial = "0000AAAA", .highSpeed = true});
    sim::UsbDevice& full = add({.serial = "0000BBBB", .highSpeed = false});
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);

    const struct {
        sim::UsbDevice* dev;
        const char* serial;
        size_t length;
        std::vector<size_t> chunks;
    } cases[] = {
        {&high, "0000AAAA", 1024, {511, 511, 2}},
        {&high, "0000AAAA", 512, {511, 1}},
        {&high, "0000AAAA", 30, {30}},
        {&full, "0000BBBB", 130, {64, 64, 2}},
        {&full, "0000BBBB", 4096, std::vector<size_t>(64, 64)},
    };
    for (const auto& c : cases) {
        vxusb_device* r = openRecord(c.serial);
        ASSERT_NE(r, nullptr);
        const size_t before = c.dev->outTransferSizes().size();
        const size_t bytesBefore = c.dev->outBytes().size();
        EXPECT_EQ(vxusb_write_to_device(r, data.data(), c.length), aErrNone);
        std::vector<size_t> sizes = c.dev->outTransferSizes();
        sizes.erase(sizes.begin(), sizes.begin() + static_cast<long>(before));
        EXPECT_EQ(sizes, c.chunks) << c.serial << " " << c.length;
        const std::vector<uint8_t> bytes = c.dev->outBytes();
        EXPECT_TRUE(std::equal(bytes.begin() + static_cast<long>(bytesBefore), bytes.end(),
                               data.begin(), data.begin() + static_cast<long>(c.length)));
        closeRecord(r);
    }
}

TEST_F(Usb, ConsecutiveIoErrorsAreForgivenFourTimes) {
    sim::UsbDevice& dev = add({.serial = "0000CCCC"});
    vxusb_device* r = openRecord("0000CCCC");
    ASSERT_NE(r, nullptr);
    uint8_t byte = 0;

    // Reads: four forgiven as not ready, a success clears the count.
    dev.failIn(4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrNotReady) << i;
    dev.queueIn({0x42});
    EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrNone);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(r->error_count, 0);

    // A write that cannot get through in ten transfers is a write error, no I/O error.
    const uint8_t out[4] = {1, 2, 3, 4};
    dev.failOut(10);
    EXPECT_EQ(vxusb_write_to_device(r, out, 4), aErrWrite);
    EXPECT_EQ(r->error_count, 0);
    EXPECT_TRUE(dev.outBytes().empty());
    // A halt that cannot be cleared is one, and writes share the count with reads.
    dev.failClearHalt(true);
    dev.stallOut(1);
    EXPECT_EQ(vxusb_write_to_device(r, out, 4), aErrNone);
    EXPECT_EQ(r->error_count, 1);
    dev.failIn(4);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrNotReady) << i;
    EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrIO); // the fifth in a row
    EXPECT_EQ(r->state, static_cast<uint32_t>(kUSBStateFailed));

    // Failed stays failed, whatever the device does now.
    dev.queueIn({0x43});
    EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrIO);
    EXPECT_EQ(vxusb_write_to_device(r, out, 4), aErrIO);
    closeRecord(r);
}

TEST_F(Usb, StallsAreClearedOnTheirEndpoint) {
    sim::UsbDevice& dev = add({.serial = "0000DDDD"});
    vxusb_device* r = openRecord("0000DDDD");
    ASSERT_NE(r, nullptr);
    uint8_t byte = 0;

    dev.stallIn(1);
    dev.queueIn({0x10, 0x11});
    EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrNotReady);
    EXPECT_EQ(dev.clearHalts(0x81), 1u);
    EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrNone);
    EXPECT_EQ(byte, 0x10);
    EXPECT_EQ(vxusb_get_from_device(r, &byte), aErrNone); // from the buffer, no transfer
    EXPECT_EQ(byte, 0x11);

    const uint8_t out[3] = {7, 8, 9};
    dev.stallOut(1);
    EXPECT_EQ(vxusb_write_to_device(r, out, 3), aErrNone); // retried after the halt is cleared
    EXPECT_EQ(dev.clearHalts(0x01), 1u);
    EXPECT_EQ(dev.outBytes(), std::vector<uint8_t>({7, 8, 9}));

    dev.failClearHalt(true);
    dev.stallOut(1);
    EXPECT_EQ(vxusb_write_to_device(r, out, 3), aErrNone); // aErrIO, forgiven once
    EXPECT_EQ(r->error_count, 1);
    closeRecord(r);
}

TEST_F(Usb, ReadTimesOutAsNotReadyAndRemovalFailsTheDevice) {
    sim::UsbDevice& dev = add({.serial = "0000EEEE"});
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xEEEE, &stream), aErrNone);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady); // nothing within the time-out

    bed->remove(dev);
    aErr err = aErrNone;
    for (int i = 0; i < 10 && err != aErrIO; ++i)
        err = aStream_Read(stream, &byte, 1);
    EXPECT_EQ(err, aErrIO);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

TEST_F(Usb, KernelNodeIsUsedWhenItExists) {
    add({.serial = "0000ABCD"});
    bed->addKernelNode(0xABCD, {0x55, 0x66});
    EXPECT_TRUE(vxusb_is_kernel_driver_installed(0xABCD));
    EXPECT_FALSE(vxusb_is_kernel_driver_installed(0xABCE));

    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);
    uint8_t bytes[2] = {};
    EXPECT_EQ(aStream_Read(stream, bytes, 2), aErrNone);
    EXPECT_EQ(bytes[0], 0x55);
    EXPECT_EQ(bytes[1], 0x66);
    EXPECT_EQ(aStream_Read(stream, bytes, 1), aErrNotReady); // nothing waiting
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

} // namespace
