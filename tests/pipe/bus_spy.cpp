#include "bus_spy.h"

#include <usbioctl.h>

#include <optional>

#include "test_device.h"
#include "usb/bus/usb_bus.h"

namespace pipetest {
namespace {

struct UrbFault {
    BusSpy::UrbMatch match;
    NTSTATUS status;
    LONG usbdStatus;
    unsigned count;
};
struct InternalFault {
    ULONG code;
    NTSTATUS status;
    unsigned count;
};

struct SpyState {
    PDRIVER_DISPATCH internal = nullptr;  // the bus driver's own routines
    PDRIVER_DISPATCH pnp = nullptr;
    PDRIVER_DISPATCH power = nullptr;
    std::vector<PowerRecord> powerRecords;
    std::function<void(const PowerRecord&)> powerObserver;
    std::vector<UrbRecord> urbs;
    std::vector<UCHAR> pnpMinors;
    std::vector<ULONG> codes;
    std::vector<UrbFault> urbFaults;
    std::vector<InternalFault> internalFaults;
    std::optional<ULONG> portStatus;
    std::function<void(PURB)> observer;
    bool denySurpriseRemoval = false;
    std::vector<NTSTATUS> capabilityAnswers;
    struct PowerRefusal {
        UCHAR minor;
        POWER_STATE_TYPE type;
        ULONG state;
        NTSTATUS status;
        unsigned count;
    };
    std::vector<PowerRefusal> powerRefusals;
};

SpyState& State() {
    static SpyState state;
    return state;
}

UrbRecord Describe(PURB urb) {
    UrbRecord r;
    r.function = urb->UrbHeader.Function;
    switch (r.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        r.transferLength = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        r.transferFlags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
        r.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
        break;
    case URB_FUNCTION_ISOCH_TRANSFER:
        r.transferLength = urb->UrbIsochronousTransfer.TransferBufferLength;
        r.transferFlags = urb->UrbIsochronousTransfer.TransferFlags;
        r.pipe = urb->UrbIsochronousTransfer.PipeHandle;
        r.numberOfPackets = urb->UrbIsochronousTransfer.NumberOfPackets;
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        r.pipe = urb->UrbPipeRequest.PipeHandle;
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        r.transferLength = urb->UrbControlDescriptorRequest.TransferBufferLength;
        r.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        r.withoutConfiguration = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
        break;
    default:
        if (r.function >= URB_FUNCTION_VENDOR_DEVICE && r.function <= URB_FUNCTION_VENDOR_OTHER) {
            r.transferLength = urb->UrbControlVendorClassRequest.TransferBufferLength;
            r.transferFlags = urb->UrbControlVendorClassRequest.TransferFlags;
            r.request = urb->UrbControlVendorClassRequest.Request;
        }
        break;
    }
    return r;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SpyInternal(PDEVICE_OBJECT device, PIRP irp) {
    SpyState& s = State();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    s.codes.push_back(code);
    for (auto& fault : s.internalFaults) {
        if (fault.count > 0 && fault.code == code) {
            --fault.count;
            return Complete(irp, fault.status);
        }
    }
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS && s.portStatus) {
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) = *s.portStatus;
        return Complete(irp, STATUS_SUCCESS);
    }
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb != nullptr) {
            s.urbs.push_back(Describe(urb));
            s.urbs.back().irql = KeGetCurrentIrql();
            if (s.observer) s.observer(urb);
            for (auto& fault : s.urbFaults) {
                if (fault.count > 0 && fault.match(urb)) {
                    --fault.count;
                    urb->UrbHeader.Status = fault.usbdStatus;
                    return Complete(irp, fault.status);
                }
            }
        }
    }
    return s.internal(device, irp);
}

NTSTATUS NTAPI SpyPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    State().pnpMinors.push_back(stack->MinorFunction);
    if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        // The bus answers capabilities at once; the record is still the sender's after completion.
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        const NTSTATUS status = State().pnp(device, irp);
        State().capabilityAnswers.push_back(status);
        if (State().denySurpriseRemoval && status != STATUS_PENDING && caps != nullptr) caps->SurpriseRemovalOK = FALSE;
        return status;
    }
    return State().pnp(device, irp);
}

NTSTATUS NTAPI SpyPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PowerRecord r;
    r.minor = stack->MinorFunction;
    if (r.minor == IRP_MN_SET_POWER || r.minor == IRP_MN_QUERY_POWER) {
        r.type = stack->Parameters.Power.Type;
        r.state = r.type == SystemPowerState ? static_cast<ULONG>(stack->Parameters.Power.State.SystemState)
                                             : static_cast<ULONG>(stack->Parameters.Power.State.DeviceState);
    } else if (r.minor == IRP_MN_WAIT_WAKE) {
        r.state = static_cast<ULONG>(stack->Parameters.WaitWake.PowerState);
    }
    State().powerRecords.push_back(r);
    if (State().powerObserver) State().powerObserver(r);
    for (auto& refusal : State().powerRefusals) {
        if (refusal.count == 0 || refusal.minor != r.minor || refusal.type != r.type || refusal.state != r.state) continue;
        --refusal.count;
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = refusal.status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return refusal.status;
    }
    return State().power(device, irp);
}

}  // namespace

void BusSpy::Install() {
    SpyState& s = State();
    if (s.internal == nullptr) {
        // The bus driver object is the same for every port: reach it through a port of a throwaway device.
        static TestDevice probe;
        tarvel::usb::Port* port = tarvel::usb::PlugWithoutInstall(probe);
        PDRIVER_OBJECT bus = tarvel::usb::PhysicalDevice(port)->DriverObject;
        tarvel::usb::DeletePort(port);
        if (bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] != SpyInternal) {
            s.internal = bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
            s.pnp = bus->MajorFunction[IRP_MJ_PNP];
            s.power = bus->MajorFunction[IRP_MJ_POWER];
            bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = SpyInternal;
            bus->MajorFunction[IRP_MJ_PNP] = SpyPnp;
            bus->MajorFunction[IRP_MJ_POWER] = SpyPower;
        }
    }
    Clear();
}

void BusSpy::Clear() {
    SpyState& s = State();
    s.urbs.clear();
    s.pnpMinors.clear();
    s.codes.clear();
    s.urbFaults.clear();
    s.internalFaults.clear();
    s.portStatus.reset();
    s.powerRefusals.clear();
    s.observer = nullptr;
    s.denySurpriseRemoval = false;
    s.powerRecords.clear();
    s.capabilityAnswers.clear();
    s.powerObserver = nullptr;
}

const std::vector<UrbRecord>& BusSpy::Urbs() { return State().urbs; }
const std::vector<UCHAR>& BusSpy::PnpMinors() { return State().pnpMinors; }
const std::vector<ULONG>& BusSpy::InternalCodes() { return State().codes; }

std::size_t BusSpy::Count(USHORT function) {
    std::size_t n = 0;
    for (const auto& r : State().urbs) n += r.function == function;
    return n;
}

std::vector<ULONG> BusSpy::TransferLengths(USBD_PIPE_HANDLE pipe) {
    std::vector<ULONG> lengths;
    for (const auto& r : State().urbs)
        if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.pipe == pipe) lengths.push_back(r.transferLength);
    return lengths;
}

long BusSpy::Find(USHORT function, std::size_t from) {
    const auto& urbs = State().urbs;
    for (std::size_t i = from; i < urbs.size(); ++i)
        if (urbs[i].function == function) return static_cast<long>(i);
    return -1;
}

void BusSpy::FailUrbs(UrbMatch match, NTSTATUS status, LONG usbdStatus, unsigned count) {
    State().urbFaults.push_back(UrbFault{std::move(match), status, usbdStatus, count});
}

void BusSpy::FailInternal(ULONG ioControlCode, NTSTATUS status, unsigned count) {
    State().internalFaults.push_back(InternalFault{ioControlCode, status, count});
}

void BusSpy::RefusePower(UCHAR minor, POWER_STATE_TYPE type, ULONG state, NTSTATUS status, unsigned count) {
    State().powerRefusals.push_back(SpyState::PowerRefusal{minor, type, state, status, count});
}

void BusSpy::AnswerPortStatus(ULONG portStatus) { State().portStatus = portStatus; }

const std::vector<NTSTATUS>& BusSpy::CapabilityAnswers() { return State().capabilityAnswers; }

const std::vector<PowerRecord>& BusSpy::Power() { return State().powerRecords; }

std::size_t BusSpy::CountPower(UCHAR minor) {
    std::size_t n = 0;
    for (const auto& r : State().powerRecords) n += r.minor == minor;
    return n;
}

void BusSpy::OnPower(std::function<void(const PowerRecord&)> observer) { State().powerObserver = std::move(observer); }

void BusSpy::DenySurpriseRemoval(bool deny) { State().denySurpriseRemoval = deny; }

void BusSpy::OnUrb(std::function<void(PURB)> observer) { State().observer = std::move(observer); }

}  // namespace pipetest
