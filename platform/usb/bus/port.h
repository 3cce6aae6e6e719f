// One root port of the emulated bus with a device plugged in: the state behind its physical device
// object. The bus driver's dispatch routines (bus_driver.cpp) hand each request to the port; URBs are
// handled in port_urb.cpp, PnP and power in port_pnp_power.cpp. The host controller runs the port's
// (micro)frames from a kernel timer DPC at DISPATCH_LEVEL, only while something is due.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "tarvel/pnp.h"
#include "usb/hc/host_controller.h"
#include "usb/model/device_model.h"

namespace tarvel::usb {

class Port;

// The physical device object's extension: kernel objects live here, in memory the kernel owns.
struct PDO_EXTENSION {
    Port* PortObject;
    KSPIN_LOCK Lock;  // guards the host controller, the pipe table and the pending requests
    KTIMER FrameTimer;
    KDPC FrameDpc;
};

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS NtStatusOf(std::int32_t usbdStatus);

class Port final : public BusLink {
public:
    Port(DeviceModel& model, PDEVICE_OBJECT pdo);
    ~Port() override;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    DeviceModel& Model() const { return model_; }
    pnp::DeviceNode* node = nullptr;
    pnp::DeviceDescription description;
    bool installed = false;
    bool Connected() const { return connected_; }
    std::uint64_t framesRun = 0;

    // Dispatch.
    NTSTATUS InternalDeviceControl(PIRP irp);
    NTSTATUS Pnp(PIRP irp);
    NTSTATUS Power(PIRP irp);

    // BusLink.
    void DeviceActivity() override;
    void DeviceUnplugged() override;
    bool DeviceRemoteWake() override;

    void DisablePort();
    void RemoveForTests() { Remove(); }
    void RunFrameDpc();
    void CancelTransfer(PIRP irp);
    void NTAPI CancelWaitWake(PIRP irp);

private:
    struct PipeRecord {
        HostController::Pipe* pipe;
    };

    // URBs.
    NTSTATUS SubmitUrb(PIRP irp);
    NTSTATUS FinishUrbAtOnce(PIRP irp, PURB urb, std::int32_t usbdStatus);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS Unconfigure();
    NTSTATUS AbortPipe(PIRP irp, PURB urb);
    NTSTATUS ResetPipe(PIRP irp, PURB urb, bool clearStall, bool resetHost);
    NTSTATUS BulkOrInterrupt(PIRP irp, PURB urb);
    // The stack's own limit of one bulk or interrupt transfer at the device's speed.
    ULONG MaximumBulkOrInterruptTransfer() const;
    NTSTATUS Isochronous(PIRP irp, PURB urb);
    NTSTATUS ControlTransfer(PIRP irp, PURB urb, SetupPacket setup, ULONG flags, ULONG length, PVOID buffer, PMDL mdl);
    NTSTATUS Queue(PIRP irp, PURB urb, HostController::Pipe* pipe, std::unique_ptr<Transfer> transfer);
    std::int32_t Refusal() const;  // why no transfer can run now, or success
    PipeRecord* Lookup(USBD_PIPE_HANDLE handle);

    // Port requests.
    NTSTATUS ResetPort();
    void CyclePort();

    // Completion of transfers taken off the host controller (called without the lock).
    void CompleteTransfers(const std::vector<Transfer*>& done);
    void CompleteTransfer(Transfer* t);
    // Takes finished or drained transfers from the host controller: those whose cancel routine is
    // already running are left to it (listed in cancelOwned_).
    std::vector<Transfer*> Claim(const std::vector<Transfer*>& done);
    std::vector<Transfer*> DrainAllLocked(std::int32_t status);
    void WaitForCancelRoutines();
    void ArmTimerLocked();
    void StopTimer();
    template <class F>
    auto WithModel(F f) {
        ++modelDepth_;
        auto r = f();
        --modelDepth_;
        return r;
    }

    // PnP and power.
    NTSTATUS QueryCapabilities(PIRP irp);
    NTSTATUS QueryId(PIRP irp);
    NTSTATUS QueryDeviceText(PIRP irp);
    NTSTATUS QueryDeviceRelations(PIRP irp);
    NTSTATUS WaitWake(PIRP irp);
    void SetDevicePower(DEVICE_POWER_STATE state);
    void FailWaitWake(NTSTATUS status);
    void Remove();

    PDO_EXTENSION* Extension() const { return static_cast<PDO_EXTENSION*>(pdo_->DeviceExtension); }

    DeviceModel& model_;
    PDEVICE_OBJECT pdo_;
    HostController hc_;
    bool connected_ = true;
    bool portEnabled_ = true;
    bool started_ = false;
    bool timerArmed_ = false;
    VirtualTime timerDue_ = 0;
    int modelDepth_ = 0;
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
    PIRP waitWake_ = nullptr;

    // Current configuration.
    std::uint8_t configurationValue_ = 0;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> alternates_;  // interface, setting selected
    std::map<std::uintptr_t, PipeRecord> pipes_;
    std::uintptr_t nextHandle_ = 0x1000;
    std::uintptr_t configurationHandle_ = 0;

    std::set<Transfer*> cancelOwned_;  // finished, but its cancel routine completes it
    KEVENT cancelDone_;
    unsigned cancelWaiters_ = 0;
};

Port* PortOf(PDEVICE_OBJECT device);

}  // namespace tarvel::usb
