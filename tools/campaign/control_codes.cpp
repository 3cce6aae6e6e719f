#include "control_codes.h"

#include "pipeioctl.h"

namespace campaign {

const std::vector<ControlCode>& KnownControlCodes() {
    static const std::vector<ControlCode> codes = {
        {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)},
        {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
        {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)},
        {IOCTL_SERIAL_SET_DTR, 0, 0},
        {IOCTL_SERIAL_CLR_DTR, 0, 0},
        {IOCTL_SERIAL_RESET_DEVICE, 0, 0},
        {IOCTL_SERIAL_SET_RTS, 0, 0},
        {IOCTL_SERIAL_CLR_RTS, 0, 0},
        {IOCTL_SERIAL_SET_XOFF, 0, 0},
        {IOCTL_SERIAL_SET_XON, 0, 0},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0},
        {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS)},
        {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)},
        {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
        {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER), 0},
        {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP)},
        {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR), 0},
        {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_GET_COMMCONFIG, 0, 0},
        {IOCTL_SERIAL_SET_COMMCONFIG, 0, 0},
        {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS)},
        {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(ULONG), 0},
        // Internal codes belong to internal device control; sent as ordinary ones they must be refused.
        {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0, 0},
        {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0, 0},
        {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0, sizeof(SERIAL_BASIC_SETTINGS)},
        {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sizeof(SERIAL_BASIC_SETTINGS), 0},
        {IOCTL_PORT_RESET_RX_PIPE, 0, 0},
        {IOCTL_PORT_RESET_TX_PIPE, 0, 0},
    };
    return codes;
}

ULONG RandomSerialCode(std::mt19937_64& rng) {
    const ULONG function = static_cast<ULONG>(rng() % 0x1000);
    const ULONG method = static_cast<ULONG>(rng() % 4);
    const ULONG access = static_cast<ULONG>(rng() % 4);
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, method, access);
}

std::vector<ULONG> LengthsAround(ULONG minimum) {
    std::vector<ULONG> lengths = {0, 1};
    if (minimum > 1) lengths.insert(lengths.end(), {minimum - 1, minimum});
    lengths.insert(lengths.end(), {minimum + 1, minimum + 64, 4096});
    return lengths;
}

}  // namespace campaign
