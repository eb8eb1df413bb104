// A machine without usbfs has no USB at all: every USB entry point must answer "nothing there"
// at once, whether or not libusb manages to start.
#include <gtest/gtest.h>

#include "aDiscovery.h"
#include "aLink.h"
#include "aUSB.h"

#include <libusb.h>

namespace {

bool countAll(const linkSpec*, bool* counted, void*) {
    *counted = true;
    return true;
}

TEST(UsbWithoutUsbfs, NothingIsFoundAndNothingCrashes) {
    for (int round = 0; round < 2; ++round) { // a torn-down context comes back the same way
        EXPECT_EQ(aDiscovery_EnumerateModules(USB, countAll, nullptr, 0x0100007F), 0u);
        EXPECT_EQ(aDiscovery_FindModule(USB, 0x40F5849A, 0x0100007F), nullptr);
        EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0x0100007F), nullptr);
        aStream* stream = reinterpret_cast<aStream*>(0x1);
        EXPECT_EQ(aStream_CreateUSB(0x40F5849A, &stream), aErrNotFound);
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(aLink_CreateUSB(0x40F5849A), 0u);
        Vorlixane_libusb_exit();
    }
}

TEST(UsbWithoutUsbfs, ParametersAndOtherTypes) {
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0x1234, nullptr), aErrParam);
    for (linkType t : {INVALID, SERIAL})
        EXPECT_EQ(aDiscovery_EnumerateModules(t, countAll, nullptr, 0x0100007F), 0u) << t;
    EXPECT_EQ(vxusb_destroy(nullptr), aErrParam);
    vxusb_device* none = nullptr;
    EXPECT_EQ(vxusb_destroy(&none), aErrParam);
}

TEST(UsbWithoutUsbfs, RecordModesAndStates) {
    vxusb_device* kernel = vxusb_create_usb(kUSBModeKernel);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(kernel->state, static_cast<uint32_t>(kUSBStateCreated));
    uint8_t byte = 0;
    const uint8_t data[2] = {1, 2};
    // Each variant refuses a record of the other mode; a kernel record without a node too.
    EXPECT_EQ(vxusb_open_vorlixane_USBlib_device(kernel, "0000ABCD"), aErrMode);
    EXPECT_EQ(vxusb_write_to_USBlib_device(kernel, data, 2), aErrMode);
    EXPECT_EQ(vxusb_get_from_USBlib_device(kernel, &byte), aErrMode);
    EXPECT_EQ(vxusb_close_vorlixane_USBlib_device(kernel), aErrMode);
    EXPECT_EQ(vxusb_write_to_kernel_device(kernel, data, 2), aErrMode);
    EXPECT_EQ(vxusb_get_from_kernel_device(kernel, &byte), aErrMode);
    EXPECT_EQ(vxusb_close_vorlixane_kernel_device(kernel), aErrNone);
    EXPECT_EQ(vxusb_open_vorlixane_kernel_device(kernel, "0000ABCD"), aErrIO); // no node
    EXPECT_EQ(vxusb_destroy(&kernel), aErrNone);
    EXPECT_EQ(kernel, nullptr);
    EXPECT_FALSE(vxusb_is_kernel_driver_installed(0x0000ABCD));
}

TEST(UsbWithoutUsbfs, FamilyTest) {
    struct Case {
        uint16_t vendor, product;
        bool family;
    } cases[] = {
        {VORLIXANE_USB_VENDOR_ID, 0x0000, true},      {VORLIXANE_USB_VENDOR_ID, 0x7FFF, true},
        {VORLIXANE_USB_VENDOR_ID, 0x8000, false},     {VORLIXANE_USB_VENDOR_ID, 0xFFFF, false},
        {VORLIXANE_USB_VENDOR_ID ^ 1, 0x0005, false},
    };
    for (const Case& c : cases) {
        libusb_device_descriptor d{};
        d.idVendor = c.vendor;
        d.idProduct = c.product;
        EXPECT_EQ(is_vorlixane_device(&d), c.family) << std::hex << c.vendor << ":" << c.product;
    }
    EXPECT_FALSE(is_vorlixane_device(nullptr));
}

} // namespace
