#include "aLinkSpec.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

// The specifier crosses process boundaries as a 128-byte frame: its layout is
// a wire format and must not drift.
static_assert(sizeof(linkType) == 4);
static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE);
static_assert(offsetof(linkSpec, type) == 0);
static_assert(offsetof(linkSpec, serial_num) == 4);
static_assert(offsetof(linkSpec, module) == 8);
static_assert(offsetof(linkSpec, router) == 12);
static_assert(offsetof(linkSpec, router_serial_num) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, usb_id) == 24);
static_assert(offsetof(linkSpec, ip_address) == 24);
static_assert(offsetof(linkSpec, port) == 28);
static_assert(offsetof(linkSpec, baudrate) == 24);
static_assert(offsetof(linkSpec, port_name) == 28);

extern "C" {

linkSpec* aLinkSpec_Create(linkType type) {
    auto* spec = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
    if (spec) spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
    if (!spec) return nullptr;
    auto* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
    if (copy) std::memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec) return aErrParam;
    std::free(*spec);
    *spec = nullptr;
    return aErrNone;
}

bool isLANWIRE(linkType type) {
    return type >= LANWIRE && type <= LANWIRE_SERIAL;
}

} // extern "C"
