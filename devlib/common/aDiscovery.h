/*
 * Finding modules: enumeration by link type, and look-ups by serial number. USB devices are
 * enumerated here; the networked types go to network discovery.
 */
#ifndef VORLIXANE_ADISCOVERY_H
#define VORLIXANE_ADISCOVERY_H

#include <stdbool.h>
#include <stdint.h>

#include "aLinkSpec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Gets each found specifier (valid during the call only) and a counted flag to set; returns
 * false to stop the enumeration. */
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* counted, void* reference);

/* How many specifiers the callback counted. networkInterface: IPv4, network byte order. */
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                     void* reference, uint32_t networkInterface);
/* A new specifier of the device with that serial number, or null; aLinkSpec_Destroy frees it. */
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
/* The first device found whose serial number is not 0, or null. */
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

/* The network branches, provided by network discovery (none found where it is not built). */
uint32_t aDiscovery_Enumerate_TCPIPModules(aDiscoveryModuleFoundProc callback, void* reference,
                                           uint32_t networkInterface);
uint32_t aDiscovery_Enumerate_LanwireModules(aDiscoveryModuleFoundProc callback, void* reference,
                                             uint32_t networkInterface);

#ifdef __cplusplus
}
#endif

#endif
