/*
 * Stand-in for the USB transport's stream creator, for builds without the USB transport: every
 * USB link creation and reset then fails cleanly with aErrNotFound (no such device). The
 * definition is weak, so the USB transport's own aStream_CreateUSB replaces it wherever both are
 * linked; link.cmake drops this file altogether once the USB transport's usb.cmake exists.
 */
#include "aLink.h"

extern "C" __attribute__((weak)) aErr aStream_CreateUSB(uint32_t, aStream** streamOut) {
    if (streamOut != nullptr) *streamOut = nullptr;
    return aErrNotFound;
}
