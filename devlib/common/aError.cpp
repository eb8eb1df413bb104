#include "aError.h"

namespace {

const char* const ERROR_TEXT[] = {
    "aErrNone",          "aErrMemory",        "aErrParam",          "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",         "aErrIO",             "aErrMode",
    "aErrWrite",         "aErrRead",          "aErrEOF",            "aErrNotReady",
    "aErrPermission",    "aErrRange",         "aErrSize",           "aErrOverrun",
    "aErrParse",         "aErrConfiguration", "aErrTimeout",        "aErrInitialization",
    "aErrVersion",       "aErrUnimplemented", "aErrDuplicate",      "aErrCancel",
    "aErrPacket",        "aErrConnection",    "aErrIndexRange",     "aErrShortCommand",
    "aErrInvalidEntity", "aErrInvalidOption", "aErrResource",       "aErrMedia",
    "aErrAsyncReturn",   "aErrStreamStale",   "aErrUnknown",
};

const char* const ERROR_DESCRIPTION[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Vorlixane command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof(ERROR_TEXT) / sizeof(ERROR_TEXT[0]) == aErrLAST + 1);
static_assert(sizeof(ERROR_DESCRIPTION) / sizeof(ERROR_DESCRIPTION[0]) == aErrLAST + 1);

} // namespace

extern "C" const char* aError_GetErrorText(uint32_t code) {
    return ERROR_TEXT[code > uint32_t{aErrLAST} ? uint32_t{aErrLAST} : code];
}

extern "C" const char* aError_GetErrorDescription(uint32_t code) {
    return ERROR_DESCRIPTION[code > uint32_t{aErrLAST} ? uint32_t{aErrLAST} : code];
}
