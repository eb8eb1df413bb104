/*
 * Model codes of the instrument modules and their display names. The one table
 * behind aDefs_GetModelName is shared by the library, the firmware-file tools
 * and the simulators, so every part of the system names a model alike.
 * For USB modules the code is the low byte of the USB product id.
 */
#ifndef VORLIXANE_ADEFS_H
#define VORLIXANE_ADEFS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    aMODEL_HUB4 = 4,      /* "VX-Hub4" */
    aMODEL_HUB8 = 5,      /* "VX-Hub8" */
    aMODEL_HUB4P = 6,     /* "VX-Hub4P" */
    aMODEL_SWITCH2 = 7,   /* "VX-Switch2" */
    aMODEL_SWITCH4 = 9,   /* "VX-Switch4" */
    aMODEL_DAQ8 = 10,     /* "VX-DAQ8" */
    aMODEL_DAQ16 = 11,    /* "VX-DAQ16" */
    aMODEL_IO24 = 13,     /* "VX-IO24" */
    aMODEL_IO48 = 14,     /* "VX-IO48" */
    aMODEL_RELAY8 = 15,   /* "VX-Relay8" */
    aMODEL_POWER2 = 17,   /* "VX-Power2" */
    aMODEL_POWER6 = 18,   /* "VX-Power6" */
    aMODEL_LOAD1 = 19,    /* "VX-Load1" */
    aMODEL_THERMO4 = 21,  /* "VX-Thermo4" */
    aMODEL_ROUTER = 23,   /* "VX-Router" */
    aMODEL_ETHERNET = 26, /* "VX-NetBridge" */
    aMODEL_DEVKIT = 27,   /* "VX-DevKit" */
};

#define aMODEL_UNKNOWN_NAME "Unknown"

typedef struct aModelName {
    uint32_t code;
    const char* name;
} aModelName;

/* Display name of a model code; "Unknown" for every code without an entry. */
const char* aDefs_GetModelName(uint32_t model);

/* The whole table in ascending code order, for tools that list or pick models. */
const aModelName* aDefs_GetModelTable(size_t* count);

#ifdef __cplusplus
}
#endif

#endif
