/*
 * Stand-in for the local packet server's client stream creator, for builds without the local
 * server: resetting a client link then fails cleanly with aErrNotFound. The definition is weak,
 * so the local server's own aStream_CreateClient replaces it wherever both are linked.
 */
#include "aLink.h"

extern "C" __attribute__((weak)) aErr aStream_CreateClient(uint32_t, uint16_t,
                                                           aStream** streamAddress) {
    if (streamAddress != nullptr) *streamAddress = nullptr;
    return aErrNotFound;
}
