// Watches the requests that reach the emulated bus driver from the pipe driver, by standing in front
// of the bus driver's dispatch routines: the URBs (function, lengths, flags, pipe), the PnP minor
// functions and the internal control codes. It can also fail chosen URBs before the bus sees them,
// the way the bus fails them (URB status and request status).
#pragma once

#include <ntddk.h>
#include <usb.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace pipetest {

struct UrbRecord {
    USHORT function = 0;
    ULONG transferLength = 0;  // bulk, isochronous, control and descriptor requests: bytes asked
    ULONG transferFlags = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    UCHAR descriptorType = 0;       // GET_DESCRIPTOR_FROM_DEVICE
    bool withoutConfiguration = false;  // SELECT_CONFIGURATION that unconfigures
    UCHAR request = 0;              // class and vendor requests: bRequest
    ULONG numberOfPackets = 0;      // isochronous
    KIRQL irql = PASSIVE_LEVEL;     // at which the request reached the bus
};

struct PowerRecord {
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    ULONG state = 0;  // system or device state number
};

class BusSpy {
public:
    // Puts the spy in front of the bus driver (once per process) and forgets what it saw.
    static void Install();
    static void Clear();

    static const std::vector<UrbRecord>& Urbs();
    static const std::vector<UCHAR>& PnpMinors();     // PnP requests that reached the bus
    // Capabilities queries that reached the bus: the status the bus answered each with.
    static const std::vector<NTSTATUS>& CapabilityAnswers();
    static const std::vector<ULONG>& InternalCodes(); // every internal device-control code
    static const std::vector<PowerRecord>& Power();    // power requests that reached the bus
    static std::size_t CountPower(UCHAR minor);
    // Called for every power request before the bus sees it.
    static void OnPower(std::function<void(const PowerRecord&)> observer);
    static std::size_t Count(USHORT function);
    // Bulk or interrupt transfer lengths asked on one pipe, in order.
    static std::vector<ULONG> TransferLengths(USBD_PIPE_HANDLE pipe);
    // Index in Urbs() of the first URB of `function` at or after `from`; -1 if none.
    static long Find(USHORT function, std::size_t from = 0);

    // The next `count` URBs for which `match` is true complete at once with these statuses.
    using UrbMatch = std::function<bool(PURB)>;
    static void FailUrbs(UrbMatch match, NTSTATUS status, LONG usbdStatus, unsigned count = 1);
    // The next `count` internal requests with this code complete at once with this status.
    static void FailInternal(ULONG ioControlCode, NTSTATUS status, unsigned count = 1);
    // The next `count` power requests of this minor function, type and state are completed by the bus
    // with `status` without being carried out (the drivers below refuse them).
    static void RefusePower(UCHAR minor, POWER_STATE_TYPE type, ULONG state, NTSTATUS status, unsigned count = 1);
    // Port status word answered to IOCTL_INTERNAL_USB_GET_PORT_STATUS (when set).
    static void AnswerPortStatus(ULONG portStatus);
    // The bus's answer to capabilities queries loses SurpriseRemovalOK (the driver must set it itself).
    static void DenySurpriseRemoval(bool deny);
    // Called for every URB before the bus sees it (from the sender's context).
    static void OnUrb(std::function<void(PURB)> observer);
};

}  // namespace pipetest
