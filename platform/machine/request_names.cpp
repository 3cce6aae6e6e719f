#include "tarvel/machine/request_names.h"

#include <ntddser.h>
#include <usb.h>
#include <usbioctl.h>

#include <cstdio>

#include "pipeioctl.h"

#ifndef STATUS_DEVICE_POWERED_OFF
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0xC000028FL) // the bus driver's answer for a suspended device
#endif

namespace tarvel::machine {

namespace {

template <class Key>
struct Named {
    Key key;
    const char* name;
};

#define NAMED(x) {x, #x}

template <class Key, std::size_t N>
const char* Find(const Named<Key> (&table)[N], Key key) {
    for (const auto& entry : table)
        if (entry.key == key) return entry.name;
    return nullptr;
}

const Named<NTSTATUS> kStatuses[] = {
    NAMED(STATUS_SUCCESS),
    NAMED(STATUS_PENDING),
    NAMED(STATUS_TIMEOUT),
    NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_UNSUCCESSFUL),
    NAMED(STATUS_NOT_IMPLEMENTED),
    NAMED(STATUS_INVALID_HANDLE),
    NAMED(STATUS_INVALID_PARAMETER),
    NAMED(STATUS_NO_SUCH_DEVICE),
    NAMED(STATUS_INVALID_DEVICE_REQUEST),
    NAMED(STATUS_ACCESS_DENIED),
    NAMED(STATUS_BUFFER_TOO_SMALL),
    NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED(STATUS_OBJECT_NAME_COLLISION),
    NAMED(STATUS_DELETE_PENDING),
    NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_DEVICE_NOT_CONNECTED),
    NAMED(STATUS_NOT_SUPPORTED),
    NAMED(STATUS_CANCELLED),
    NAMED(STATUS_DEVICE_BUSY),
    NAMED(STATUS_DEVICE_POWERED_OFF),
    NAMED(STATUS_INVALID_DEVICE_STATE),
    NAMED(STATUS_IO_DEVICE_ERROR),
};

const Named<UCHAR> kMajors[] = {
    {IRP_MJ_CREATE, "CREATE"},
    {IRP_MJ_CLOSE, "CLOSE"},
    {IRP_MJ_READ, "READ"},
    {IRP_MJ_WRITE, "WRITE"},
    {IRP_MJ_FLUSH_BUFFERS, "FLUSH_BUFFERS"},
    {IRP_MJ_DEVICE_CONTROL, "DEVICE_CONTROL"},
    {IRP_MJ_INTERNAL_DEVICE_CONTROL, "INTERNAL_DEVICE_CONTROL"},
    {IRP_MJ_CLEANUP, "CLEANUP"},
    {IRP_MJ_POWER, "POWER"},
    {IRP_MJ_SYSTEM_CONTROL, "SYSTEM_CONTROL"},
    {IRP_MJ_PNP, "PNP"},
};

const Named<UCHAR> kPnpMinors[] = {
    NAMED(IRP_MN_START_DEVICE),
    NAMED(IRP_MN_QUERY_REMOVE_DEVICE),
    NAMED(IRP_MN_REMOVE_DEVICE),
    NAMED(IRP_MN_CANCEL_REMOVE_DEVICE),
    NAMED(IRP_MN_STOP_DEVICE),
    NAMED(IRP_MN_QUERY_STOP_DEVICE),
    NAMED(IRP_MN_CANCEL_STOP_DEVICE),
    NAMED(IRP_MN_QUERY_DEVICE_RELATIONS),
    NAMED(IRP_MN_QUERY_INTERFACE),
    NAMED(IRP_MN_QUERY_CAPABILITIES),
    NAMED(IRP_MN_QUERY_ID),
    NAMED(IRP_MN_QUERY_PNP_DEVICE_STATE),
    NAMED(IRP_MN_DEVICE_USAGE_NOTIFICATION),
    NAMED(IRP_MN_SURPRISE_REMOVAL),
};

const Named<UCHAR> kPowerMinors[] = {
    NAMED(IRP_MN_WAIT_WAKE),
    NAMED(IRP_MN_POWER_SEQUENCE),
    NAMED(IRP_MN_SET_POWER),
    NAMED(IRP_MN_QUERY_POWER),
};

const Named<ULONG> kControlCodes[] = {
    NAMED(IOCTL_PIPE_GET_CONFIG_DESCRIPTOR),
    NAMED(IOCTL_PIPE_RESTORE_PORT),
    NAMED(IOCTL_PIPE_RESET_PIPE),
    NAMED(IOCTL_PIPE_GET_PIPE_INFO),
    NAMED(IOCTL_PIPE_VENDOR_WRITE),
    NAMED(IOCTL_PIPE_ABORT_PIPE),
    NAMED(IOCTL_PIPE_CONTROL_TRANSFER),
    NAMED(IOCTL_PIPE_GET_MAX_PACKET_SIZE),
    NAMED(IOCTL_PIPE_RESET_PORT),
    NAMED(IOCTL_PIPE_CYCLE_PORT),
    NAMED(IOCTL_PIPE_SUSPEND_DEVICE),
    NAMED(IOCTL_PIPE_RESUME_DEVICE),
    NAMED(IOCTL_PIPE_READ_BUFFERED),
    NAMED(IOCTL_PIPE_READ_DIRECT),
    NAMED(IOCTL_PIPE_WRITE_BUFFERED),
    NAMED(IOCTL_PIPE_WRITE_DIRECT),
    NAMED(IOCTL_PIPE_CONTROL_WRITE_DIRECT),
    NAMED(IOCTL_PIPE_CONTROL_READ_DIRECT),
    NAMED(IOCTL_PORT_RESET_RX_PIPE),
    NAMED(IOCTL_PORT_RESET_TX_PIPE),
    NAMED(IOCTL_INTERNAL_USB_SUBMIT_URB),
    NAMED(IOCTL_INTERNAL_USB_RESET_PORT),
    NAMED(IOCTL_INTERNAL_USB_GET_PORT_STATUS),
    NAMED(IOCTL_INTERNAL_USB_ENABLE_PORT),
    NAMED(IOCTL_INTERNAL_USB_CYCLE_PORT),
    NAMED(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION),
    NAMED(IOCTL_SERIAL_SET_BAUD_RATE),
    NAMED(IOCTL_SERIAL_GET_BAUD_RATE),
    NAMED(IOCTL_SERIAL_SET_LINE_CONTROL),
    NAMED(IOCTL_SERIAL_GET_LINE_CONTROL),
    NAMED(IOCTL_SERIAL_SET_CHARS),
    NAMED(IOCTL_SERIAL_GET_CHARS),
    NAMED(IOCTL_SERIAL_SET_HANDFLOW),
    NAMED(IOCTL_SERIAL_GET_HANDFLOW),
    NAMED(IOCTL_SERIAL_SET_TIMEOUTS),
    NAMED(IOCTL_SERIAL_GET_TIMEOUTS),
    NAMED(IOCTL_SERIAL_SET_WAIT_MASK),
    NAMED(IOCTL_SERIAL_WAIT_ON_MASK),
    NAMED(IOCTL_SERIAL_GET_COMMSTATUS),
    NAMED(IOCTL_SERIAL_GET_MODEMSTATUS),
    NAMED(IOCTL_SERIAL_PURGE),
    NAMED(IOCTL_SERIAL_GET_STATS),
};

const Named<USHORT> kUrbFunctions[] = {
    NAMED(URB_FUNCTION_SELECT_CONFIGURATION),
    NAMED(URB_FUNCTION_SELECT_INTERFACE),
    NAMED(URB_FUNCTION_ABORT_PIPE),
    NAMED(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER),
    NAMED(URB_FUNCTION_CONTROL_TRANSFER),
    NAMED(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER),
    NAMED(URB_FUNCTION_ISOCH_TRANSFER),
    NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE),
    NAMED(URB_FUNCTION_SET_FEATURE_TO_DEVICE),
    NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE),
    NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT),
    NAMED(URB_FUNCTION_GET_STATUS_FROM_DEVICE),
    NAMED(URB_FUNCTION_VENDOR_DEVICE),
    NAMED(URB_FUNCTION_VENDOR_INTERFACE),
    NAMED(URB_FUNCTION_VENDOR_ENDPOINT),
    NAMED(URB_FUNCTION_CLASS_DEVICE),
    NAMED(URB_FUNCTION_CLASS_INTERFACE),
    NAMED(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL),
    NAMED(URB_FUNCTION_GET_CONFIGURATION),
    NAMED(URB_FUNCTION_GET_INTERFACE),
    NAMED(URB_FUNCTION_SYNC_RESET_PIPE),
    NAMED(URB_FUNCTION_SYNC_CLEAR_STALL),
};

#undef NAMED

std::string Prefixless(const char* name, const char* prefix) {
    const std::string text = name;
    const std::string p = prefix;
    return text.rfind(p, 0) == 0 ? text.substr(p.size()) : text;
}

} // namespace

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string StatusName(NTSTATUS status) {
    const char* name = Find(kStatuses, status);
    return name != nullptr ? name : Hex(static_cast<ULONG>(status));
}

std::string MajorFunctionName(UCHAR major) {
    const char* name = Find(kMajors, major);
    return name != nullptr ? name : "MJ_" + Hex(major, 2);
}

std::string PnpMinorName(UCHAR minor) {
    const char* name = Find(kPnpMinors, minor);
    return name != nullptr ? Prefixless(name, "IRP_MN_") : "MN_" + Hex(minor, 2);
}

std::string PowerMinorName(UCHAR minor) {
    const char* name = Find(kPowerMinors, minor);
    return name != nullptr ? Prefixless(name, "IRP_MN_") : "MN_" + Hex(minor, 2);
}

std::string ControlCodeName(ULONG code) {
    const char* name = Find(kControlCodes, code);
    return name != nullptr ? name : Hex(code);
}

std::string UrbFunctionName(USHORT function) {
    const char* name = Find(kUrbFunctions, function);
    return name != nullptr ? Prefixless(name, "URB_FUNCTION_") : "URB " + Hex(function, 4);
}

std::string VendorCommandName(UCHAR code) {
    switch (code) {
    case 0: return "LINE_SETTINGS";
    case 1: return "MODEM_CONTROL";
    case 2: return "FLOW_CHARS";
    case 3: return "PORT_ENABLE";
    case 4: return "ERROR_CHAR";
    default: return "command " + std::to_string(code);
    }
}

} // namespace tarvel::machine
