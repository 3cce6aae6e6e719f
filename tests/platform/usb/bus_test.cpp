// The bus driver as a client driver meets it: configuration, transfers, abort and cancel, stalls,
// control transfers, port requests, unplugging, power and wait-wake, and throughput in virtual time.
#include <cstring>
#include <string>
#include <vector>

#include "bus_fixture.h"
#include "test_models.h"
#include "tarvel/io.h"
#include "tarvel/pnp.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::usb::test {
namespace {

constexpr kernel::VirtualTime kMsV = kernel::kMillisecond, kSecV = kernel::kSecond;

DeviceBlueprint LongTwoInterfaceBlueprint() {
    DeviceBlueprint blueprint = BulkDeviceBlueprint();
    InterfaceBlueprint second;
    second.number = 1, second.interfaceClass = 0x0A;
    for (int i = 0; i < 70; ++i) second.extraDescriptors.push_back({8, 0x24, 1, 2, 3, 4, 5, 6});
    second.endpoints = {{0x02, EndpointType::Bulk, 64, 0}, {0x85, EndpointType::Bulk, 64, 0}};
    blueprint.interfaces.push_back(second);
    return blueprint;
}

TEST_F(BusTest, ConfiguresAsThePipeDriverWillIncludingLongAndTwoInterfaceConfigurations) {
    auto& adapter = Make<SerialAdapter>(KernelClock());
    Attach(adapter);
    TEST_EXTENSION* ext = Ext(fdo);
    EXPECT_EQ(ext->DeviceDescriptor->idVendor, 0x1209);
    EXPECT_EQ(ext->DescriptorRequests, 1u);  // 521 bytes were enough
    PUSBD_INTERFACE_INFORMATION info = ext->Interfaces[0].Interface;
    ASSERT_EQ(info->NumberOfPipes, 3u);
    const UCHAR addresses[] = {0x01, 0x81, 0x82};
    const USBD_PIPE_TYPE types[] = {UsbdPipeTypeBulk, UsbdPipeTypeBulk, UsbdPipeTypeInterrupt};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(info->Pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(info->Pipes[i].PipeType, types[i]);
        EXPECT_NE(info->Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_EQ(info->Pipes[0].MaximumPacketSize, 64);
    EXPECT_EQ(info->Class, 0xFF);
    EXPECT_NE(ext->SelectUrb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(adapter.Configuration(), 1);

    // A partial read of the configuration descriptor returns what was asked, wTotalLength included.
    auto* nine = Pool(9);
    PURB urb = Keep(BuildGetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, nine, 9));
    ASSERT_EQ(SubmitUrbSync(fdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, 9u);
    EXPECT_EQ(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(nine)->wTotalLength, 9 + 9 + 3 * 7);

    // Unconfiguring (the 88-byte request without descriptor) ends the pipes.
    PURB none = (Pool<URB>(sizeof(_URB_SELECT_CONFIGURATION)));
    UsbBuildSelectConfigurationRequest(none, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SubmitUrbSync(fdo, none), STATUS_SUCCESS);
    EXPECT_EQ(adapter.Configuration(), 0);
    auto* byte = Pool(64);
    PURB stale = Keep(BuildTransfer(info->Pipes[1].PipeHandle, byte, nullptr, 64, USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(SubmitUrbSync(fdo, stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    Detach();

    auto& twoInterfaces = Make<BulkDevice>(KernelClock(), LongTwoInterfaceBlueprint());
    Attach(twoInterfaces);
    ext = Ext(fdo);
    EXPECT_GT(ext->Configuration->wTotalLength, 521);
    EXPECT_EQ(ext->DescriptorRequests, 2u);
    ASSERT_NE(ext->Interfaces[1].Interface, nullptr);
    EXPECT_EQ(ext->Interfaces[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(ext->Interfaces[1].Interface->Pipes[1].EndpointAddress, 0x85);
    EXPECT_NE(ext->Interfaces[1].Interface->Pipes[1].PipeHandle, Pipe(0, 1));
}

TEST_F(BusTest, MalformedDescriptorsFailConfigurationCleanly) {
    const auto good = BuildConfigurationDescriptor(SerialAdapter::MakeBlueprint({}));
    struct Case { const char* what; std::size_t at; std::uint8_t value; };
    for (const Case& c : {Case{"interface bLength 0", 9, 0}, Case{"bNumEndpoints 9", 13, 9},
                          Case{"endpoint bLength past the end", 9 + 9 + 14, 60}, Case{"wTotalLength 4", 2, 4},
                          Case{"wTotalLength 600", 3, 2}}) {
        auto& adapter = Make<SerialAdapter>(KernelClock());
        auto bytes = good;
        bytes[c.at] = c.value;
        adapter.ServeConfigurationDescriptor(bytes);
        Attach(adapter, false);
        EXPECT_FALSE(NT_SUCCESS(ConfigureTestDevice(fdo))) << c.what;
        EXPECT_EQ(adapter.Configuration(), 0) << c.what;
        Detach();
    }
}

TEST_F(BusTest, BulkInEndsOnAShortPacketOrAZeroLengthPacketThroughBufferOrMdl) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* buffer = Pool(256);
    PURB urb = Keep(BuildTransfer(Pipe(0, 1), buffer, nullptr, 256, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    ASYNC_URB* read = SubmitUrbAsync(fdo, urb);
    kernel::RunFor(5 * kMsV);
    EXPECT_FALSE(read->Finished);  // NAK while the device has nothing
    device.QueueIn(std::vector<std::uint8_t>(64, 1));
    device.QueueIn(std::vector<std::uint8_t>(30, 2));
    Wait(read);
    EXPECT_EQ(read->Status, STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 94u);
    EXPECT_EQ(buffer[93], 2);
    FreeAsync(read);

    PMDL mdl = IoAllocateMdl(buffer, 256, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    urb = Keep(BuildTransfer(Pipe(0, 1), nullptr, mdl, 256, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    read = SubmitUrbAsync(fdo, urb);
    device.QueueIn(std::vector<std::uint8_t>(64, 3));
    device.QueueIn({});
    Wait(read);
    EXPECT_EQ(read->Status, STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    EXPECT_EQ(buffer[0], 3);
    FreeAsync(read);
    IoFreeMdl(mdl);

    // A zero-length OUT transfer puts one zero-length packet on the wire.
    PURB zlp = Keep(BuildTransfer(Pipe(0, 0), nullptr, nullptr, 0, 0));
    EXPECT_EQ(SubmitUrbSync(fdo, zlp), STATUS_SUCCESS);
    EXPECT_EQ(device.zeroLengthOuts, 1u);
}

TEST_F(BusTest, AbortCompletesEveryPendingTransferBeforeItCompletesAndCancelEndsOne) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* buffer = Pool(128);
    PURB first = Keep(BuildTransfer(Pipe(0, 1), buffer, nullptr, 64, USBD_TRANSFER_DIRECTION_IN));
    PURB second = Keep(BuildTransfer(Pipe(0, 1), buffer + 64, nullptr, 64, USBD_TRANSFER_DIRECTION_IN));
    ASYNC_URB* a = SubmitUrbAsync(fdo, first);
    ASYNC_URB* b = SubmitUrbAsync(fdo, second);
    kernel::RunFor(3 * kMsV);
    PURB abort = Keep(BuildPipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(0, 1)));
    ASSERT_EQ(SubmitUrbSync(fdo, abort), STATUS_SUCCESS);
    ASSERT_TRUE(a->Finished);
    ASSERT_TRUE(b->Finished);
    EXPECT_EQ(a->Status, STATUS_CANCELLED);
    EXPECT_EQ(second->UrbHeader.Status, USBD_STATUS_CANCELED);
    FreeAsync(a);
    FreeAsync(b);

    first->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;  // the abort left 0 bytes moved there
    ASYNC_URB* c = SubmitUrbAsync(fdo, first);
    kernel::RunFor(2 * kMsV);
    IoCancelIrp(c->Irp);
    Wait(c);
    EXPECT_EQ(c->Status, STATUS_CANCELLED);
    FreeAsync(c);
    // An endpoint that NAKs for ever keeps its transfer pending until the pipe is aborted.
    device.NakForever(0x01, true);
    PURB write = Keep(BuildTransfer(Pipe(0, 0), buffer, nullptr, 64, 0));
    ASYNC_URB* w = SubmitUrbAsync(fdo, write);
    kernel::RunFor(kSecV);
    EXPECT_FALSE(w->Finished);
    EXPECT_LE(FramesRun(port), 10u);  // and costs no frames while it waits
    PURB abortOut = Keep(BuildPipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(0, 0)));
    ASSERT_EQ(SubmitUrbSync(fdo, abortOut), STATUS_SUCCESS);
    ASSERT_TRUE(w->Finished);
    EXPECT_EQ(w->Status, STATUS_CANCELLED);
    FreeAsync(w);
    // The pipe still works afterwards.
    device.QueueIn(std::vector<std::uint8_t>(64, 7));
    first->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    EXPECT_EQ(SubmitUrbSync(fdo, first), STATUS_SUCCESS);
    EXPECT_EQ(first->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
}

TEST_F(BusTest, AStallFailsTransfersUntilThePipeIsReset) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* buffer = Pool(64);
    PURB urb = Keep(BuildTransfer(Pipe(0, 0), buffer, nullptr, 64, 0));
    device.StallEndpoint(0x01);
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(device.sunk, 0u);
    PURB reset = Keep(BuildPipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0, 0)));
    ASSERT_EQ(SubmitUrbSync(fdo, reset), STATUS_SUCCESS);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(device.sunk, 64u);
}

TEST_F(BusTest, SaturatingBulkLoopsReachTheFullAndHighSpeedBudgets) {
    struct Case { Speed speed; double budget; ULONG length; };
    for (const Case& c : {Case{Speed::Full, 1'216'000.0, 4096}, Case{Speed::High, 53'248'000.0, 65536}}) {
        auto& device = Make<BulkDevice>(KernelClock(), BulkDeviceBlueprint(c.speed));
        Attach(device);
        auto* data = Pool(c.length);
        PURB u1 = Keep(BuildTransfer(Pipe(0, 0), data, nullptr, c.length, 0));
        PURB u2 = Keep(BuildTransfer(Pipe(0, 0), data, nullptr, c.length, 0));
        const auto start = kernel::Now();
        ASYNC_URB* a = SubmitUrbAsync(fdo, u1, ~0u);
        ASYNC_URB* b = SubmitUrbAsync(fdo, u2, ~0u);
        kernel::RunFor(kSecV);
        const double moved = static_cast<double>(device.sunk);
        const double seconds = static_cast<double>(kernel::Now() - start) / kSecV;
        EXPECT_NEAR(moved / seconds, c.budget, c.budget * 0.01);
        EXPECT_LE(moved / seconds, c.budget * 1.0001);
        a->Resubmit = b->Resubmit = 0;
        Wait(a);
        Wait(b);
        FreeAsync(a);
        FreeAsync(b);
        Detach();
    }
}

TEST_F(BusTest, IdleTimeCostsNoFramesWhileATransferWaits) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* buffer = Pool(64);
    PURB urb = Keep(BuildTransfer(Pipe(0, 1), buffer, nullptr, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    ASYNC_URB* read = SubmitUrbAsync(fdo, urb);
    const auto before = FramesRun(port);
    kernel::RunFor(60 * kSecV);
    EXPECT_LE(FramesRun(port) - before, 2u);
    device.QueueIn(std::vector<std::uint8_t>(3, 1));
    Wait(read);
    EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    FreeAsync(read);
}

TEST_F(BusTest, VendorCommandsReachTheAdapterAndRefusedOnesFail) {
    auto& adapter = Make<SerialAdapter>(KernelClock());
    Attach(adapter);
    auto* payload = Pool(3);
    payload[0] = 0, payload[1] = 8, payload[2] = 0x01;  // 115200 8N1, three-byte form
    PURB urb = Keep(BuildVendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x0B, 0, payload, 3));
    ASSERT_EQ(SubmitUrbSync(fdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 3u);
    EXPECT_EQ(adapter.Line().Settings().baud, 115200u);
    payload[0] = 9;
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
    PURB other = Keep(BuildVendor(URB_FUNCTION_VENDOR_INTERFACE, 0, 0x0B, 0, payload, 2));
    EXPECT_EQ(SubmitUrbSync(fdo, other), STATUS_UNSUCCESSFUL);  // not addressed to the device
    payload[0] = 3, payload[1] = 1;
    urb->UrbControlVendorClassRequest.TransferBufferLength = 2;
    adapter.FailControlTransfers(1);
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(adapter.Line().Enabled());
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 0u);
    urb->UrbControlVendorClassRequest.TransferBufferLength = 2;
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_SUCCESS);
    EXPECT_TRUE(adapter.Line().Enabled());
}

TEST_F(BusTest, ControlReadsAndPortRequests) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* reply = Pool(8);
    PURB urb = Keep(BuildVendor(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0x21, 5, reply, 8));
    ASSERT_EQ(SubmitUrbSync(fdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlVendorClassRequest.TransferBufferLength, 4u);
    EXPECT_EQ(reply[3], 4);
    ASSERT_FALSE(device.vendorRequests.empty());
    EXPECT_EQ(device.vendorRequests.back().requestType, 0xA1);
    EXPECT_EQ(device.vendorRequests.back().length, 8);

    ULONG status = 0;
    ASSERT_EQ(SendPortRequest(fdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
    DisablePort(port);
    ASSERT_EQ(SendPortRequest(fdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, static_cast<ULONG>(USBD_PORT_CONNECTED));
    auto* buffer = Pool(64);
    PURB out = Keep(BuildTransfer(Pipe(0, 0), buffer, nullptr, 64, 0));
    EXPECT_EQ(SubmitUrbSync(fdo, out), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendPortRequest(fdo, IOCTL_INTERNAL_USB_ENABLE_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrbSync(fdo, out), STATUS_SUCCESS);
    device.StallEndpoint(0x01);
    EXPECT_EQ(SubmitUrbSync(fdo, out), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendPortRequest(fdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrbSync(fdo, out), STATUS_SUCCESS);  // reset cleared the halt, the handles stayed valid

    PURB frame = (Pool<URB>(sizeof(_URB_GET_CURRENT_FRAME_NUMBER)));
    frame->UrbHeader.Length = sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    frame->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    ASSERT_EQ(SubmitUrbSync(fdo, frame), STATUS_SUCCESS);
    EXPECT_EQ(frame->UrbGetCurrentFrameNumber.FrameNumber, static_cast<ULONG>(kernel::Now() / kMsV));

    PURB bogus = Keep(BuildPipeRequest(0x0FFF, Pipe(0, 0)));
    EXPECT_EQ(SubmitUrbSync(fdo, bogus), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bogus->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(BusTest, IsochronousTransferMovesOnePacketPerFrameFromItsStartFrame) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    constexpr ULONG packets = 4;
    const ULONG size = GET_ISO_URB_SIZE(packets);
    PURB urb = (Pool<URB>(size));
    auto* buffer = Pool(packets * 32);
    PURB frame = (Pool<URB>(sizeof(_URB_GET_CURRENT_FRAME_NUMBER)));
    frame->UrbHeader.Length = sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    frame->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    ASSERT_EQ(SubmitUrbSync(fdo, frame), STATUS_SUCCESS);
    auto& iso = urb->UrbIsochronousTransfer;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = Pipe(0, 3);
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    iso.TransferBuffer = buffer;
    iso.TransferBufferLength = packets * 32;
    iso.NumberOfPackets = packets;
    iso.StartFrame = frame->UrbGetCurrentFrameNumber.FrameNumber + 10;
    for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * 32;
    ASSERT_EQ(SubmitUrbSync(fdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(kernel::Now() / kMsV, frame->UrbGetCurrentFrameNumber.FrameNumber + 10 + packets);
    EXPECT_EQ(iso.ErrorCount, 0u);
    EXPECT_EQ(iso.IsoPacket[3].Length, 32u);
    EXPECT_EQ(iso.TransferBufferLength, packets * 32);
    iso.StartFrame = 1;  // long past
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
}

TEST_F(BusTest, UnplugCompletesPendingTransfersWithTheNoDeviceStatus) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* buffer = Pool(64);
    PURB urb = Keep(BuildTransfer(Pipe(0, 1), buffer, nullptr, 64, USBD_TRANSFER_DIRECTION_IN));
    ASYNC_URB* read = SubmitUrbAsync(fdo, urb);
    kernel::RunFor(2 * kMsV);
    device.Unplug();
    ASSERT_TRUE(read->Finished);
    EXPECT_EQ(read->Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    FreeAsync(read);
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_DEVICE_NOT_CONNECTED);
    ULONG status = 0xFF;
    ASSERT_EQ(SendPortRequest(fdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
    EXPECT_EQ(status, 0u);
}

TEST_F(BusTest, CapabilitiesAndWaitWakeFollowTheModel) {
    auto& sleepy = Make<SerialAdapter>(KernelClock(), SerialAdapterOptions{Speed::Full, false});
    Attach(sleepy);
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(QueryCapabilities(fdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    ASYNC_URB* refused = SendWaitWake(fdo);
    ASSERT_TRUE(refused->Finished);
    EXPECT_EQ(refused->Status, STATUS_NOT_SUPPORTED);
    FreeAsync(refused);
    Detach();

    auto& waker = Make<SerialAdapter>(KernelClock(), SerialAdapterOptions{Speed::Full, true});
    Attach(waker);
    ASSERT_EQ(QueryCapabilities(fdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_TRUE(caps.WakeFromD2);

    ASYNC_URB* cancelled = SendWaitWake(fdo);
    kernel::RunFor(10 * kMsV);
    EXPECT_FALSE(cancelled->Finished);
    IoCancelIrp(cancelled->Irp);
    Wait(cancelled);
    EXPECT_EQ(cancelled->Status, STATUS_CANCELLED);
    FreeAsync(cancelled);

    ASYNC_URB* wake = SendWaitWake(fdo);
    EXPECT_FALSE(waker.SignalRemoteWake());  // still in D0: nothing to wake
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    ASSERT_EQ(SendPowerRequest(fdo, IRP_MN_SET_POWER, DevicePowerState, d2), STATUS_SUCCESS);
    EXPECT_TRUE(waker.Suspended());
    auto* buffer = Pool(64);
    PURB urb = Keep(BuildTransfer(Pipe(0, 0), buffer, nullptr, 64, 0));
    EXPECT_FALSE(NT_SUCCESS(SubmitUrbSync(fdo, urb)));  // nothing moves to a suspended device
    kernel::RunFor(100 * kMsV);
    EXPECT_FALSE(wake->Finished);
    EXPECT_TRUE(waker.SignalRemoteWake());
    ASSERT_TRUE(wake->Finished);
    EXPECT_EQ(wake->Status, STATUS_SUCCESS);
    FreeAsync(wake);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    ASSERT_EQ(SendPowerRequest(fdo, IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_SUCCESS);
}

TEST_F(BusTest, AdapterLoopbackThroughTheBusMovesTheLineRate) {
    auto& adapter = Make<SerialAdapter>(KernelClock());
    LoopbackPlug plug;
    adapter.Connect(&plug);
    Attach(adapter);
    auto* command = Pool(2);
    PURB vendor = Keep(BuildVendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x0B, 0, command, 2));
    command[0] = 3, command[1] = 1;  // port on
    ASSERT_EQ(SubmitUrbSync(fdo, vendor), STATUS_SUCCESS);
    command[0] = 0, command[1] = 0x07;  // 115200 8N1
    ASSERT_EQ(SubmitUrbSync(fdo, vendor), STATUS_SUCCESS);
    auto* out = Pool(4096);
    auto* in = Pool(4096);
    for (int i = 0; i < 4096; ++i) out[i] = static_cast<std::uint8_t>(i * 7);
    PURB write = Keep(BuildTransfer(Pipe(0, 0), out, nullptr, 4096, 0));
    PURB read = Keep(BuildTransfer(Pipe(0, 1), in, nullptr, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    ASYNC_URB* w = SubmitUrbAsync(fdo, write, ~0u);
    ASYNC_URB* r = SubmitUrbAsync(fdo, read, ~0u);
    kernel::RunFor(100 * kMsV);
    const ULONG64 before = r->Bytes;
    kernel::RunFor(kSecV);
    EXPECT_NEAR(static_cast<double>(r->Bytes - before), 11520.0, 12.0);
    EXPECT_EQ(adapter.Line().Counters().overruns, 0u);
    w->Resubmit = r->Resubmit = 0;
    PURB abortOut = Keep(BuildPipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(0, 0)));
    PURB abortIn = Keep(BuildPipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(0, 1)));
    SubmitUrbSync(fdo, abortOut);
    SubmitUrbSync(fdo, abortIn);
    Wait(w);
    Wait(r);
    FreeAsync(w);
    FreeAsync(r);
    Detach();  // before the plug goes
}

TEST_F(BusTest, BytesFromAScriptedPeerWakeAReadThatWaitedThroughIdleTime) {
    auto& adapter = Make<SerialAdapter>(KernelClock());
    ScriptedPeer peer;
    adapter.Connect(&peer);
    Attach(adapter);
    auto* command = Pool(2);
    PURB vendor = Keep(BuildVendor(URB_FUNCTION_VENDOR_DEVICE, 0, 0x0B, 0, command, 2));
    command[0] = 3, command[1] = 1;
    ASSERT_EQ(SubmitUrbSync(fdo, vendor), STATUS_SUCCESS);
    command[0] = 0, command[1] = 0x04;  // 9600 8N1: 1.0417 ms a byte
    ASSERT_EQ(SubmitUrbSync(fdo, vendor), STATUS_SUCCESS);
    auto* in = Pool(64);
    PURB read = Keep(BuildTransfer(Pipe(0, 1), in, nullptr, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    ASYNC_URB* r = SubmitUrbAsync(fdo, read);
    kernel::RunFor(10 * kSecV);
    const auto frames = FramesRun(port);
    ASSERT_FALSE(r->Finished);
    const auto sent = kernel::Now();
    peer.Send("hi");
    Wait(r);
    // The first byte is there after one byte time and read at the end of that frame.
    EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
    EXPECT_EQ(in[0], 'h');
    EXPECT_LE(kernel::Now() - sent, 3 * kMsV);
    EXPECT_LE(FramesRun(port) - frames, 3u);
    FreeAsync(r);

    // The status byte on the interrupt pipe follows the lines the peer sets.
    peer.SetLines(InputLines{true, false, true, false});
    PURB status = Keep(BuildTransfer(Pipe(0, 2), in, nullptr, 1, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    ASSERT_EQ(SubmitUrbSync(fdo, status), STATUS_SUCCESS);
    EXPECT_EQ(in[0] & 0x0F, 0x05);
    Detach();
}

}  // namespace
}  // namespace tarvel::usb::test

namespace tarvel::usb::test {
namespace {

// The PnP tests' recording function driver as the one to install.
pnp::DeviceDescription RecordingFunctionDriver() {
    pnp::DeviceDescription description;
    description.functionService = "pnprecfunc";
    description.hardwareIds = {"USB\\VID_1209&PID_0001"};
    return description;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) devices.push_back(d);
    return devices;
}

// The installed path: the PnP manager builds a stack on the bus's physical device object (with the
// PnP tests' recording function driver), reads its capabilities, and after an unplug removes the node,
// whereupon the bus deletes the physical device object.
TEST_F(BusTest, PlugInstallsThroughThePnpManagerAndUnplugRemovesTheDevice) {
    auto& adapter = Make<SerialAdapter>(KernelClock(), SerialAdapterOptions{Speed::High, true});
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Port* installed = Plug(adapter, RecordingFunctionDriver(), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    pnp::DeviceNode* node = Node(installed);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    EXPECT_EQ(pnp::Capabilities(node).DeviceWake, PowerDeviceD2);
    EXPECT_EQ(pnp::Capabilities(node).DeviceState[PowerSystemWorking], PowerDeviceD0);
    PDRIVER_OBJECT bus = PhysicalDevice(installed)->DriverObject;
    Unplug(installed);
    pnp::WaitForIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Deleted);
    EXPECT_FALSE(adapter.Plugged());
    EXPECT_TRUE(DevicesOf(bus).empty());
}

// Low resources at the plug: the bus cannot create the device's physical device object. The device does
// not appear (no port, no device node, the model unplugged) and the failure reaches the caller; the
// next plug of the same model installs it and its unplug leaves nothing behind.
TEST_F(BusTest, APlugWhosePhysicalDeviceObjectCannotBeCreatedFailsAndTheNextPlugWorks) {
    auto& adapter = Make<SerialAdapter>(KernelClock());
    const std::size_t pool = kernel::PoolOutstandingTotal();
    const std::size_t nodes = pnp::Nodes().size();
    kernel::FailNth(kernel::FaultSite::Pool, 1);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Plug(adapter, RecordingFunctionDriver(), &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel::FaultsInjected(), 1u);
    kernel::FailNth(kernel::FaultSite::Pool, 1);
    status = STATUS_SUCCESS;
    EXPECT_EQ(PlugWithoutInstall(adapter, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    kernel::ClearFaults();
    EXPECT_FALSE(adapter.Plugged());
    EXPECT_EQ(pnp::Nodes().size(), nodes);

    Port* port = Plug(adapter, RecordingFunctionDriver(), &status);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(adapter.Plugged());
    pnp::DeviceNode* node = Node(port);
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    PDEVICE_OBJECT pdo = PhysicalDevice(port);
    PDRIVER_OBJECT bus = pdo->DriverObject;
    EXPECT_EQ(DevicesOf(bus), std::vector<PDEVICE_OBJECT>{pdo}) << "the failed plugs left a device object";
    Unplug(port);
    pnp::WaitForIdle();
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Deleted);
    EXPECT_TRUE(DevicesOf(bus).empty());
    EXPECT_EQ(kernel::PoolOutstandingTotal(), pool);
}

// A gone device's removal, passed down by the function driver before it detaches: the bus deletes the
// physical device object in the removal itself, with the function driver still attached above it (its
// memory stays until the detach), and a request that still reaches the object finds no device.
TEST_F(BusTest, TheRemovalOfAGoneDeviceDeletesItsObjectWhileTheDriverAboveIsStillAttached) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    PDEVICE_OBJECT pdo = PhysicalDevice(port);
    PDRIVER_OBJECT bus = pdo->DriverObject;
    const std::string name = io::DeviceName(pdo);
    ASSERT_EQ(io::FindDevice(name), pdo);
    PURB urb = Keep(BuildTransfer(Pipe(0, 1), Pool(64), nullptr, 64, USBD_TRANSFER_DIRECTION_IN));
    device.Unplug();
    EXPECT_EQ(SendPnpRequest(fdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(SendPnpRequest(fdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    port = nullptr;  // ended with the removal
    EXPECT_EQ(io::FindDevice(name), nullptr);
    EXPECT_TRUE(DevicesOf(bus).empty());
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(SubmitUrbSync(fdo, urb), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(SendPnpRequest(fdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NO_SUCH_DEVICE);
    RemoveTestDevice(fdo);
    fdo = nullptr;
    EXPECT_DEATH(IoDetachDevice(pdo), "VERIFIER STOP: not a device object in IoDetachDevice");
}

// The bus takes a transfer's direction from its flags, as the platform's stack does, and refuses one
// the endpoint cannot do instead of moving data the other way.
TEST_F(BusTest, ATransferWhoseDirectionFlagDoesNotMatchTheEndpointIsRefused) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* buffer = Pool(64);
    PURB readOnOut = Keep(BuildTransfer(Pipe(0, 0), buffer, nullptr, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(SubmitUrbSync(fdo, readOnOut), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(readOnOut->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    device.QueueIn(std::vector<std::uint8_t>(64, 7));
    PURB writeOnIn = Keep(BuildTransfer(Pipe(0, 1), buffer, nullptr, 64, 0));
    EXPECT_EQ(SubmitUrbSync(fdo, writeOnIn), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device.sunk, 0u);
    PURB write = Keep(BuildTransfer(Pipe(0, 0), buffer, nullptr, 64, 0));
    EXPECT_EQ(SubmitUrbSync(fdo, write), STATUS_SUCCESS);
    EXPECT_EQ(device.sunk, 64u);
}

// The interface's MaximumTransferSize (64 KiB from the test driver) is not the stack's limit: its own
// per-speed size is (256 KiB at full speed, 3.5 MiB at high speed).
TEST_F(BusTest, OneTransferIsLimitedByTheDevicesSpeedNotByTheInterfacesMaximumTransferSize) {
    struct Case { Speed speed; ULONG limit; };
    for (const Case& c : {Case{Speed::Full, 256 * 1024}, Case{Speed::High, 3584 * 1024}}) {
        auto& device = Make<BulkDevice>(KernelClock(), BulkDeviceBlueprint(c.speed));
        Attach(device);
        auto* data = Pool(c.limit + 1);
        PURB beyondInterface = Keep(BuildTransfer(Pipe(0, 0), data, nullptr, 100 * 1024, 0));
        EXPECT_EQ(SubmitUrbSync(fdo, beyondInterface), STATUS_SUCCESS);
        EXPECT_EQ(device.sunk, 100u * 1024u);
        PURB atLimit = Keep(BuildTransfer(Pipe(0, 0), data, nullptr, c.limit, 0));
        EXPECT_EQ(SubmitUrbSync(fdo, atLimit), STATUS_SUCCESS);
        PURB beyondLimit = Keep(BuildTransfer(Pipe(0, 0), data, nullptr, c.limit + 1, 0));
        EXPECT_EQ(SubmitUrbSync(fdo, beyondLimit), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(beyondLimit->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
        Detach();
    }
}

TEST_F(BusTest, APagedTransferBufferAndAPipeAbortAbovePassiveLevelStop) {
    auto& device = Make<BulkDevice>(KernelClock());
    Attach(device);
    auto* paged = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(PagedPool, 64, 'gaPT'));
    PURB write = Keep(BuildTransfer(Pipe(0, 0), paged + 8, nullptr, 32, 0));
    EXPECT_DEATH(SubmitUrbSync(fdo, write),
                 "VERIFIER STOP: transfer buffer in paged pool in URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER .*32 bytes");
    ExFreePool(paged);
    PURB abort = Keep(BuildPipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(0, 0)));
    EXPECT_DEATH(
        {
            KIRQL irql;
            KeRaiseIrql(APC_LEVEL, &irql);
            SubmitUrbAsync(fdo, abort);
        },
        "VERIFIER STOP: pipe request above PASSIVE_LEVEL in URB_FUNCTION_ABORT_PIPE .*IRQL 1");
    EXPECT_EQ(SubmitUrbSync(fdo, abort), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tarvel::usb::test
