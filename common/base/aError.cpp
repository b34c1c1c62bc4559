#include "aError.h"

const char* const ERROR_TEXT[35] = {
    "aErrNone",           "aErrMemory",        "aErrParam",      "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",          "aErrIO",         "aErrMode",
    "aErrWrite",          "aErrRead",          "aErrEOF",        "aErrNotReady",
    "aErrPermission",     "aErrRange",         "aErrSize",       "aErrOverrun",
    "aErrParse",          "aErrConfiguration", "aErrTimeout",    "aErrInitialization",
    "aErrVersion",        "aErrUnimplemented", "aErrDuplicate",  "aErrCancel",
    "aErrPacket",         "aErrConnection",    "aErrIndexRange", "aErrShortCommand",
    "aErrInvalidEntity",  "aErrInvalidOption", "aErrResource",   "aErrMedia",
    "aErrAsyncReturn",    "aErrStreamStale",   "aErrUnknown",
};

const char* const ERROR_DESCRIPTION[35] = {
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
    "Corvalith command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

namespace {
// Compared unsigned, so negative codes land on the last row too.
uint32_t tableRow(aErr code) {
    const uint32_t row = static_cast<uint32_t>(code);
    return row > aErrUnknown ? static_cast<uint32_t>(aErrUnknown) : row;
}
}  // namespace

const char* aError_GetErrorText(aErr code) {
    return ERROR_TEXT[tableRow(code)];
}

const char* aError_GetErrorDescription(aErr code) {
    return ERROR_DESCRIPTION[tableRow(code)];
}
