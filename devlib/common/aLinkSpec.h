/*
 * How a device is reached: the link type and the 128-byte link specifier.
 * The specifier is a wire format (it travels whole between the packet server,
 * its clients and discovery replies): host byte order, except ip_address,
 * which is an IPv4 address in network order as a socket address stores it.
 */
#ifndef VORLIXANE_ALINKSPEC_H
#define VORLIXANE_ALINKSPEC_H

#include <stdbool.h>
#include <stdint.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum linkType {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    LANWIRE = 4,        /* through another process's packet server, any link */
    LANWIRE_USB = 5,    /* server advertising its own USB link (USB + 4) */
    LANWIRE_TCPIP = 6,  /* ... TCP/IP link */
    LANWIRE_SERIAL = 7, /* ... serial link */
} linkType;

#define aLINKSPEC_SIZE 128
#define aLINKSPEC_PORT_NAME_SIZE 100

typedef struct linkSpec {
    linkType type;
    uint32_t serial_num;        /* 0 = any device */
    uint32_t module;            /* module address; 0 = unspecified */
    uint32_t router;            /* router's module address (own address if its own router) */
    uint32_t router_serial_num; /* 0 for a direct USB device */
    uint32_t model;             /* model code; 0 = any */
    union {
        uint32_t usb_id; /* USB: equals serial_num after enumeration */
        struct {         /* TCPIP and LANWIRE types */
            uint32_t ip_address;
            uint32_t port;
        };
        struct { /* SERIAL */
            uint32_t baudrate;
            char port_name[aLINKSPEC_PORT_NAME_SIZE];
        };
    };
} linkSpec;

/* New specifier, all 128 bytes zero except type; NULL when memory is short. */
linkSpec* aLinkSpec_Create(linkType type);

/* New heap copy of all 128 bytes; NULL for a NULL source or short memory. */
linkSpec* aLinkSpec_Copy(const linkSpec* spec);

/* Frees *spec and sets it to NULL; aErrParam when spec or *spec is NULL. */
aErr aLinkSpec_Destroy(linkSpec** spec);

/* Types 4 to 7. */
bool isLANWIRE(linkType type);

#ifdef __cplusplus
}
#endif

#endif
