#include "pnp_fixture.h"

#include <cstring>
#include <map>

namespace tarvel::testing {

std::vector<std::string> Recording::Take(const std::string& part) {
    std::vector<std::string> taken;
    for (auto& event : events_)
        if (event.find(part) != std::string::npos) taken.push_back(event);
    events_.clear();
    return taken;
}

namespace {

struct PhysicalExtension {
    Recording* recording;
    PIRP waitWake;
    bool gone; // surprise removal seen: the device has left the bus
};

PhysicalExtension* Pdx(PDEVICE_OBJECT device) { return static_cast<PhysicalExtension*>(device->DeviceExtension); }

std::string Hex(ULONG n) {
    char text[16];
    std::snprintf(text, sizeof text, n > 0xFF ? "0x%08x" : "0x%02x", n);
    return text;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    PhysicalExtension* pdx = Pdx(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    pdx->recording->Add("bus:PnP:" + Hex(location->MinorFunction));
    switch (location->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1 || caps->Address != 0xFFFFFFFF ||
            caps->UINumber != 0xFFFFFFFF)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
        caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
        caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
        caps->SystemWake = PowerSystemSleeping3;
        caps->DeviceWake = PowerDeviceD2;
        caps->Removable = 1;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        pdx->gone = true;
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        const bool gone = pdx->gone;
        Complete(irp, STATUS_SUCCESS);
        if (gone) IoDeleteDevice(device);
        return STATUS_SUCCESS;
    }
    default: {
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

void NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (Pdx(device)->waitWake == irp) Pdx(device)->waitWake = nullptr;
    Complete(irp, STATUS_CANCELLED);
}

// A bus that is no WMI provider completes system-control requests as they came.
NTSTATUS NTAPI BusSystemControl(PDEVICE_OBJECT, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
    PhysicalExtension* pdx = Pdx(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    pdx->recording->Add("bus:Power:" + Hex(location->MinorFunction));
    PoStartNextPowerIrp(irp);
    if (location->MinorFunction == IRP_MN_WAIT_WAKE) {
        if (pdx->waitWake != nullptr) return Complete(irp, STATUS_DEVICE_BUSY);
        IoMarkIrpPending(irp);
        pdx->waitWake = irp;
        (void)IoSetCancelRoutine(irp, CancelWaitWake);
        return STATUS_PENDING;
    }
    // The bus cannot hibernate: it refuses the system query for S4.
    if (location->MinorFunction == IRP_MN_QUERY_POWER && location->Parameters.Power.Type == SystemPowerState &&
        location->Parameters.Power.State.SystemState == PowerSystemHibernate)
        return Complete(irp, STATUS_UNSUCCESSFUL);
    if (location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER) {
        if (location->Parameters.Power.Type == DevicePowerState) return Complete(irp, STATUS_SUCCESS);
        // System requests complete at DISPATCH_LEVEL, as from the bus driver's DPC: the completion
        // routines above, and the device requests they ask for, run from there.
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        Complete(irp, STATUS_SUCCESS);
        KeLowerIrql(irql);
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

Recording* busRecording = nullptr;

} // namespace

TestBus::TestBus(Recording& recording) {
    busRecording = &recording;
    io::InitializeDriverObject(&driver_, "pnptestbus");
    driver_.MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver_.MajorFunction[IRP_MJ_POWER] = BusPower;
    driver_.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
}

TestBus::~TestBus() { DeleteAll(); }

PDEVICE_OBJECT TestBus::CreatePhysicalDevice() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(&driver_, sizeof(PhysicalExtension), nullptr, FILE_DEVICE_UNKNOWN,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device),
              STATUS_SUCCESS);
    *Pdx(device) = {busRecording, nullptr, false};
    device->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

bool TestBus::CompleteWaitWake(PDEVICE_OBJECT physical, NTSTATUS status) {
    PIRP irp = Pdx(physical)->waitWake;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    Pdx(physical)->waitWake = nullptr;
    Complete(irp, status);
    return true;
}

std::vector<PDEVICE_OBJECT> TestBus::LiveDevices() const {
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT d = driver_.DeviceObject; d != nullptr; d = d->NextDevice) devices.push_back(d);
    return devices;
}

void TestBus::DeleteAll() {
    while (driver_.DeviceObject != nullptr) IoDeleteDevice(driver_.DeviceObject);
}

io::RegistryValue SinkValue(Recording& recording) {
    io::RegistryValue value{"RecorderSink", REG_BINARY, {}};
    RecorderSink* sink = recording.Sink();
    value.data.resize(sizeof(sink));
    std::memcpy(value.data.data(), &sink, sizeof(sink));
    return value;
}

io::RegistryValue DwordValue(const std::string& name, ULONG v) {
    io::RegistryValue value{name, REG_DWORD, {}};
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return value;
}

void PlatformTest::SetUp() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kernel::Boot();
    bus_ = new TestBus(recording_);
}

void PlatformTest::TearDown() {
    // Whatever is still installed goes: removed if its drivers agree, unplugged if not.
    for (pnp::DeviceNode* node : pnp::Nodes())
        if (pnp::State(node) == pnp::NodeState::Started && !NT_SUCCESS(pnp::QueryRemoveAndRemove(node)))
            pnp::SurpriseRemove(node);
    pnp::WaitForIdle();
    delete bus_;
    if (kernel::Booted()) kernel::Shutdown();
}

pnp::DeviceDescription PlatformTest::Description(std::vector<io::RegistryValue> values, bool filtered) {
    pnp::DeviceDescription description;
    description.functionService = "pnprecfunc";
    if (filtered) description.upperFilters = {"pnprecfilter"};
    description.hardwareIds = {"TEST\\RECORDER"};
    description.hardwareKey = std::move(values);
    description.hardwareKey.push_back(SinkValue(recording_));
    return description;
}

pnp::DeviceNode* PlatformTest::Install(const pnp::DeviceDescription& description, NTSTATUS expected) {
    pnp::DeviceNode* node = nullptr;
    EXPECT_EQ(pnp::InstallDevice(bus_->CreatePhysicalDevice(), description, &node), expected);
    return node;
}

} // namespace tarvel::testing
