// A serial port driver of the test program that records every control request it gets (code and input
// bytes, in order) and answers as a serial driver does: GET requests from its settings, SET requests
// into them, one pending wait-on-mask. It refuses SET_RTS / SET_DTR while handshake drives the line,
// as serial drivers do, and fails chosen codes on demand. It appears as \Device\RecordingPort with the
// DOS name COM9.
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace commtest {

class RecordingPort {
public:
    struct Request {
        ULONG code;
        std::vector<std::uint8_t> input;
        ULONG outputLength;
    };

    RecordingPort();
    ~RecordingPort();
    RecordingPort(const RecordingPort&) = delete;
    RecordingPort& operator=(const RecordingPort&) = delete;

    std::vector<ULONG> Codes() const;
    void ClearRecord() { requests.clear(); }
    // The input of the last request with this code, read as a record.
    template <class Record>
    Record LastInput(ULONG code) const {
        Record r{};
        for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
            if (it->code == code && it->input.size() >= sizeof(Record)) {
                std::memcpy(&r, it->input.data(), sizeof(Record));
                break;
            }
        }
        return r;
    }

    // Completes the pending wait-on-mask with these events; false if none is pending.
    bool CompleteWait(ULONG events);
    bool WaitPending() const { return pendingWait_ != nullptr; }

    std::vector<Request> requests;
    std::map<ULONG, NTSTATUS> failures; // code -> status to fail it with (every time)
    std::map<ULONG, ULONG> shortAnswers; // code -> bytes returned instead of the whole record

    SERIAL_BAUD_RATE baud{9600};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{0x1A, 0, 0, 0, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
    SERIAL_TIMEOUTS timeouts{};
    SERIAL_STATUS status{};
    ULONG waitMask = 0;
    ULONG modemStatus = 0;
    bool rts = false, dtr = false, breakOn = false;
    ULONG purged = 0;
    SERIAL_QUEUE_SIZE queueSize{};
    std::vector<UCHAR> immediate;

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static VOID NTAPI CancelWait(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Control(PIRP irp);

    DRIVER_OBJECT driver_{};
    PDEVICE_OBJECT device_ = nullptr;
    PIRP pendingWait_ = nullptr;
};

} // namespace commtest
