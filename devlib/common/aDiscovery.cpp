/*
 * Discovery entry points: dispatch by link type, USB enumeration, look-ups by serial number.
 */
#include "aDiscovery.h"

#include <libusb.h>

#include <cstdio>
#include <cstring>

#include "aUSB.h"

namespace {

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serial, uint16_t productId) {
    spec->type = USB;
    spec->serial_num = serial;
    spec->module = 0;
    spec->router = 0;
    spec->router_serial_num = 0;
    spec->model = productId & 0xFF;
    spec->usb_id = serial;
}

uint32_t sEnumerateUSB(linkType type, aDiscoveryModuleFoundProc callback, void* reference) {
    libusb_context* context = Vorlixane_libusb_context();
    if (context == nullptr) return 0; // no USB on this machine
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return 0;

    uint32_t counted = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            !is_vorlixane_device(&descriptor) || descriptor.iSerialNumber == 0)
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS) continue;
        unsigned char text[32] = {};
        const int n = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                         sizeof text - 1);
        libusb_close(handle);
        if (n != 8 || std::strlen(reinterpret_cast<char*>(text)) != 8) continue;
        unsigned int serial = 0;
        char rest = 0;
        if (std::sscanf(reinterpret_cast<char*>(text), "%X%c", &serial, &rest) != 1) continue;
        linkSpec* spec = aLinkSpec_Create(type);
        if (spec == nullptr) break;
        sCopyToUSBLinkspec(spec, serial, descriptor.idProduct);
        bool wasCounted = false;
        if (callback != nullptr) goOn = callback(spec, &wasCounted, reference);
        if (wasCounted) ++counted;
        aLinkSpec_Destroy(&spec);
    }
    libusb_free_device_list(list, 1);
    return counted;
}

bool cbSNCallback(const linkSpec* spec, bool* counted, void* reference) {
    auto* wanted = static_cast<linkSpec*>(reference);
    if (spec->serial_num != wanted->serial_num) return true;
    std::memcpy(wanted, spec, aLINKSPEC_SIZE);
    *counted = true;
    return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* counted, void* reference) {
    if (spec->serial_num == 0) return true;
    std::memcpy(reference, spec, aLINKSPEC_SIZE);
    *counted = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, aDiscoveryModuleFoundProc callback,
                uint32_t networkInterface) {
    linkSpec* spec = aLinkSpec_Create(type);
    if (spec == nullptr) return nullptr;
    spec->serial_num = serialNumber;
    if (aDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

} // namespace

extern "C" {

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                     void* reference, uint32_t networkInterface) {
    // Callers may pass any number; read it as one so that no out-of-range enum is loaded.
    uint32_t raw = 0;
    static_assert(sizeof raw == sizeof type);
    std::memcpy(&raw, &type, sizeof raw);
    switch (raw) {
    case USB:
        return sEnumerateUSB(type, callback, reference);
    case TCPIP:
        return aDiscovery_Enumerate_TCPIPModules(callback, reference, networkInterface);
    case LANWIRE:
    case LANWIRE_USB:
    case LANWIRE_TCPIP:
    case LANWIRE_SERIAL:
        return aDiscovery_Enumerate_LanwireModules(callback, reference, networkInterface);
    default: // SERIAL and INVALID enumerate nothing
        return 0;
    }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, cbFirstCallback, networkInterface);
}

} // extern "C"
