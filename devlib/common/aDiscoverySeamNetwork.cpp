/*
 * Stand-ins for the network discovery branches, for builds without network discovery: they find
 * nothing. Weak, so network discovery's own definitions replace them wherever both are linked.
 */
#include "aDiscovery.h"

extern "C" __attribute__((weak)) uint32_t
aDiscovery_Enumerate_TCPIPModules(aDiscoveryModuleFoundProc, void*, uint32_t) {
    return 0;
}

extern "C" __attribute__((weak)) uint32_t
aDiscovery_Enumerate_LanwireModules(aDiscoveryModuleFoundProc, void*, uint32_t) {
    return 0;
}
