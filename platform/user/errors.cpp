#include "tarvel/user/errors.h"

#include "tarvel/kernel.h"

namespace tarvel::user {

namespace {

struct Mapping {
    NTSTATUS status;
    DWORD error;
};

constexpr Mapping kMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {static_cast<NTSTATUS>(0x80000005L), ERROR_MORE_DATA},           // STATUS_BUFFER_OVERFLOW
    {static_cast<NTSTATUS>(0x80000011L), ERROR_BUSY},                // STATUS_DEVICE_BUSY
    {static_cast<NTSTATUS>(0xC0000001L), ERROR_GEN_FAILURE},         // STATUS_UNSUCCESSFUL
    {static_cast<NTSTATUS>(0xC0000002L), ERROR_INVALID_FUNCTION},    // STATUS_NOT_IMPLEMENTED
    {static_cast<NTSTATUS>(0xC0000008L), ERROR_INVALID_HANDLE},      // STATUS_INVALID_HANDLE
    {static_cast<NTSTATUS>(0xC000000DL), ERROR_INVALID_PARAMETER},   // STATUS_INVALID_PARAMETER
    {static_cast<NTSTATUS>(0xC000000EL), ERROR_FILE_NOT_FOUND},      // STATUS_NO_SUCH_DEVICE
    {static_cast<NTSTATUS>(0xC000000FL), ERROR_FILE_NOT_FOUND},      // STATUS_NO_SUCH_FILE
    {static_cast<NTSTATUS>(0xC0000010L), ERROR_INVALID_FUNCTION},    // STATUS_INVALID_DEVICE_REQUEST
    {static_cast<NTSTATUS>(0xC0000011L), ERROR_HANDLE_EOF},          // STATUS_END_OF_FILE
    {static_cast<NTSTATUS>(0xC0000017L), ERROR_NOT_ENOUGH_MEMORY},   // STATUS_NO_MEMORY
    {static_cast<NTSTATUS>(0xC0000022L), ERROR_ACCESS_DENIED},       // STATUS_ACCESS_DENIED
    {static_cast<NTSTATUS>(0xC0000023L), ERROR_INSUFFICIENT_BUFFER}, // STATUS_BUFFER_TOO_SMALL
    {static_cast<NTSTATUS>(0xC0000033L), ERROR_INVALID_NAME},        // STATUS_OBJECT_NAME_INVALID
    {static_cast<NTSTATUS>(0xC0000034L), ERROR_FILE_NOT_FOUND},      // STATUS_OBJECT_NAME_NOT_FOUND
    {static_cast<NTSTATUS>(0xC000003AL), ERROR_PATH_NOT_FOUND},      // STATUS_OBJECT_PATH_NOT_FOUND
    {static_cast<NTSTATUS>(0xC000003EL), ERROR_CRC},                 // STATUS_DATA_ERROR
    {static_cast<NTSTATUS>(0xC0000043L), ERROR_SHARING_VIOLATION},   // STATUS_SHARING_VIOLATION
    {static_cast<NTSTATUS>(0xC0000056L), ERROR_ACCESS_DENIED},       // STATUS_DELETE_PENDING
    {static_cast<NTSTATUS>(0xC000009AL), ERROR_NO_SYSTEM_RESOURCES}, // STATUS_INSUFFICIENT_RESOURCES
    {static_cast<NTSTATUS>(0xC000009CL), ERROR_CRC},                 // STATUS_DEVICE_DATA_ERROR
    {static_cast<NTSTATUS>(0xC000009DL), ERROR_NOT_READY},           // STATUS_DEVICE_NOT_CONNECTED
    {static_cast<NTSTATUS>(0xC00000A3L), ERROR_NOT_READY},           // STATUS_DEVICE_NOT_READY
    {static_cast<NTSTATUS>(0xC00000B5L), ERROR_SEM_TIMEOUT},         // STATUS_IO_TIMEOUT
    {static_cast<NTSTATUS>(0xC00000BBL), ERROR_NOT_SUPPORTED},       // STATUS_NOT_SUPPORTED
    {static_cast<NTSTATUS>(0xC00000C0L), ERROR_DEV_NOT_EXIST},       // STATUS_DEVICE_DOES_NOT_EXIST
    {static_cast<NTSTATUS>(0xC00000E8L), ERROR_INVALID_USER_BUFFER}, // STATUS_INVALID_USER_BUFFER
    {static_cast<NTSTATUS>(0xC0000120L), ERROR_OPERATION_ABORTED},   // STATUS_CANCELLED
    {static_cast<NTSTATUS>(0xC0000184L), ERROR_BAD_COMMAND},         // STATUS_INVALID_DEVICE_STATE
    {static_cast<NTSTATUS>(0xC0000185L), ERROR_IO_DEVICE},           // STATUS_IO_DEVICE_ERROR
    {static_cast<NTSTATUS>(0xC0000225L), ERROR_NOT_FOUND},           // STATUS_NOT_FOUND
    {static_cast<NTSTATUS>(0xC00002D3L), ERROR_NOT_READY},           // STATUS_POWER_STATE_INVALID
};

} // namespace

// Per emulated thread, as each thread of the platform has its own.
DWORD GetLastError() { return kernel::CurrentThreadLastError(); }

void SetLastError(DWORD error) { kernel::CurrentThreadLastError() = error; }

DWORD NtStatusToDosError(NTSTATUS status) {
    for (const Mapping& mapping : kMappings)
        if (mapping.status == status) return mapping.error;
    return ERROR_MR_MID_NOT_FOUND;
}

} // namespace tarvel::user
