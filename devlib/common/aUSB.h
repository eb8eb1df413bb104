/*
 * USB transport: the family's modules as byte streams, through libusb or the kernel driver's
 * device node, and the process-wide libusb context every USB user shares.
 *
 * A family device has the family's vendor id (VORLIXANE_USB_VENDOR_ID) and a product id with
 * bit 15 clear; its serial number string descriptor is the 32-bit serial number as eight
 * hexadecimal digits. Its packet interface (class 0xFF, subclass 0x88, protocol 0x10) carries
 * the link engine's frames on one bulk OUT and one bulk IN endpoint.
 */
#ifndef VORLIXANE_AUSB_H
#define VORLIXANE_AUSB_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "aError.h"
#include "aStream.h"

#ifndef VORLIXANE_USB_VENDOR_ID
#define VORLIXANE_USB_VENDOR_ID 0x24FF
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct libusb_context;
struct libusb_device_handle;
struct libusb_device_descriptor;

#define aUSB_STREAM_CHECK 0xDEAD
#define aUSB_READ_BUFFER_SIZE 1024
#define aUSB_SERIAL_TEXT_SIZE 256
#define aUSB_WRITE_TIMEOUT_MS 50
#define aUSB_READ_TIMEOUT_MS 1000
#define aUSB_MAX_FAILED_WRITES 10 /* failed transfers that end one write call */
#define aUSB_FORGIVEN_IO_ERRORS 4 /* consecutive I/O errors forgiven; the next fails the device */
#define aUSB_KERNEL_NODE_FORMAT "/dev/vorlixane.%08X"

#define aUSB_INTERFACE_CLASS 0xFF
#define aUSB_INTERFACE_SUBCLASS 0x88
#define aUSB_INTERFACE_PROTOCOL 0x10

enum { kUSBModeKernel = 0, kUSBModeLibusb = 1 };
enum {
    kUSBStateCreated = 1,
    kUSBStateClosed = 2,
    kUSBStateOpened = 3,
    kUSBStateReady = 4,
    kUSBStateFailed = 5,
};

/* One open (or opening) device. */
typedef struct vxusb_device {
    uint32_t mode;
    char serial_text[aUSB_SERIAL_TEXT_SIZE];
    int node_fd; /* kernel mode; -1 when not open */
    struct libusb_device_handle* handle;
    uint32_t state;
    uint8_t interface_number;
    uint8_t out_endpoint;
    uint8_t in_endpoint;
    uint8_t read_buffer[aUSB_READ_BUFFER_SIZE];
    int32_t bytes_available;
    uint8_t* read_position;
    uint8_t error_count;
    uint16_t in_max_packet_size;
    uint16_t out_max_packet_size;
} vxusb_device;

/* The shared context, created on first use; null when libusb cannot start (no USB here). */
struct libusb_context* Vorlixane_libusb_context(void);
aErr Vorlixane_libusb_init(void);
/* Tears the shared context down so that the next use scans the bus afresh. No USB device of
 * the library may be open. */
void Vorlixane_libusb_exit(void);

bool is_vorlixane_device(const struct libusb_device_descriptor* descriptor);

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** streamOut);

bool vxusb_is_kernel_driver_installed(uint32_t serialNumber);
vxusb_device* vxusb_create_usb(uint32_t mode);
aErr vxusb_destroy(vxusb_device** recordAddress);

aErr vxusb_open_vorlixane_device(vxusb_device* record, const char* serialText);
aErr vxusb_write_to_device(vxusb_device* record, const uint8_t* data, size_t length);
aErr vxusb_get_from_device(vxusb_device* record, uint8_t* byteOut);
aErr vxusb_close_vorlixane_device(vxusb_device* record);

aErr vxusb_open_vorlixane_USBlib_device(vxusb_device* record, const char* serialText);
aErr vxusb_write_to_USBlib_device(vxusb_device* record, const uint8_t* data, size_t length);
aErr vxusb_get_from_USBlib_device(vxusb_device* record, uint8_t* byteOut);
aErr vxusb_close_vorlixane_USBlib_device(vxusb_device* record);

aErr vxusb_open_vorlixane_kernel_device(vxusb_device* record, const char* serialText);
aErr vxusb_write_to_kernel_device(vxusb_device* record, const uint8_t* data, size_t length);
aErr vxusb_get_from_kernel_device(vxusb_device* record, uint8_t* byteOut);
aErr vxusb_close_vorlixane_kernel_device(vxusb_device* record);

/* Fills interface number, endpoints and packet sizes from the open handle: 0, a libusb error,
 * or LIBUSB_ERROR_NO_DEVICE when the packet interface or one of its endpoints is missing. */
int find_usb_endpoints(vxusb_device* record);

#ifdef __cplusplus
}
#endif

#endif
