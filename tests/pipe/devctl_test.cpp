// The private device-control set: control transfers (the port driver's vendor command first), pipe
// information and packet size, descriptors, device-control transfers, port requests, the refusals
// of every code, and a sweep of every function, method and length on bound and unbound handles.
#include "pipe_machine.h"
#include "usb/model/device_blueprint.h"
#include "usb/serial/serial_adapter.h"

namespace pipetest {
namespace {

using tarvel::usb::SerialAdapter;

constexpr ULONG Code(ULONG function, ULONG method) { return (0x23u << 16) | (function << 2) | method; }

Bytes SetupPacketBytes(std::uint8_t type, std::uint8_t request, std::uint16_t length, Bytes data = {}) {
    Bytes b{type, request, 0, 0, 0, 0, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

class DevctlTest : public PipeMachine {
protected:
    void InstallTestDevice() {
        device_ = &MakeTestDevice();
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    TestDevice* device_ = nullptr;
};

TEST_F(DevctlTest, VendorCommandAsThePortDriverSendsItReachesTheAdapter) {
    auto& adapter = MakeDevice<SerialAdapter>(tarvel::usb::KernelClock());
    ASSERT_EQ(Install(adapter), STATUS_SUCCESS);
    OwnFile tx;
    ASSERT_EQ(OwnCreate(&tx, L"\\PIPE00"), STATUS_SUCCESS);
    // Port enable (command 3, on): the 8-byte setup packet, then two payload bytes.
    Bytes frame = SetupPacketBytes(0x40, 0x0B, 2, {SerialAdapter::kPortEnable, 1});
    const IO_STATUS_BLOCK r = OwnControl(&tx, IOCTL_PIPE_CONTROL_TRANSFER, frame.data(), 10, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 2u);
    ASSERT_EQ(adapter.AcceptedCommands().size(), 1u);
    EXPECT_EQ(adapter.AcceptedCommands()[0], (Bytes{SerialAdapter::kPortEnable, 1}));
    const long vendor = BusSpy::Find(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_GE(vendor, 0);
    EXPECT_EQ(BusSpy::Urbs()[vendor].transferFlags, 0u);
    EXPECT_EQ(BusSpy::Urbs()[vendor].transferLength, 2u);

    // A command the adapter refuses (stall) comes back as the bus's failure with nothing counted.
    Bytes bad = SetupPacketBytes(0x40, 0x0B, 2, {0x7F, 0});
    const IO_STATUS_BLOCK refused = OwnControl(&tx, IOCTL_PIPE_CONTROL_TRANSFER, bad.data(), 10, 0);
    EXPECT_EQ(refused.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.Information, 0u);
    EXPECT_EQ(OwnClose(&tx), STATUS_SUCCESS);
}

TEST_F(DevctlTest, ControlTransferChecksItsBuffersAndRequestType) {
    InstallTestDevice();
    PFILE_OBJECT file = OpenPipe("");
    Bytes out(64);
    auto send = [&](const Bytes& in, ULONG inLength, ULONG outLength) {
        return Control(file, IOCTL_PIPE_CONTROL_TRANSFER, in.data(), inLength, out.data(), outLength).Status;
    };
    EXPECT_EQ(send(SetupPacketBytes(0x00, 0x06, 0), 8, 0), STATUS_INVALID_PARAMETER) << "standard";
    EXPECT_EQ(send(SetupPacketBytes(0x60, 0x01, 0), 8, 0), STATUS_INVALID_PARAMETER) << "reserved type";
    EXPECT_EQ(send(SetupPacketBytes(0x44, 0x01, 0), 8, 0), STATUS_INVALID_PARAMETER) << "recipient above other";
    EXPECT_EQ(send(SetupPacketBytes(0x40, 0x01, 0), 7, 0), STATUS_INVALID_PARAMETER) << "setup cut short";
    EXPECT_EQ(send(SetupPacketBytes(0x40, 0x01, 4, {1, 2, 3}), 11, 0), STATUS_INVALID_PARAMETER) << "less data than wLength";
    EXPECT_EQ(send(SetupPacketBytes(0xC0, 0x01, 8), 8, 7), STATUS_INVALID_PARAMETER) << "output below wLength";
    EXPECT_EQ(send(SetupPacketBytes(0x40, 0x01, 4, {1, 2, 3, 4}), 12, 2), STATUS_INVALID_PARAMETER)
        << "an output too small for the byte count that comes back";
    EXPECT_TRUE(device_->requests.empty());

    // Class request to an interface, host-to-device, with its data from offset 8.
    EXPECT_EQ(send(SetupPacketBytes(0x21, 0x22, 3, {7, 8, 9}), 11, 0), STATUS_SUCCESS);
    ASSERT_EQ(device_->requests.size(), 1u);
    EXPECT_EQ(device_->requests[0].requestType, 0x21);
    EXPECT_EQ(device_->requestData[0], (Bytes{7, 8, 9}));
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_CLASS_INTERFACE), 1u);
}

TEST_F(DevctlTest, ControlTransferReadsIntoTheOutputAndCountsWhatTheDeviceSent) {
    InstallTestDevice();
    PFILE_OBJECT file = OpenPipe("");
    Bytes in = SetupPacketBytes(0xC1, 0x05, 4);
    Bytes out(4, 0);
    IO_STATUS_BLOCK r = Control(file, IOCTL_PIPE_CONTROL_TRANSFER, in.data(), 8, out.data(), 4);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 4u);
    EXPECT_EQ(out, (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(device_->requests.back().requestType, 0xC1);
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_VENDOR_INTERFACE), 1u);

    // The device answers 4 bytes of the 16 asked for: the client is told 4, not 16 with the rest
    // of its buffer passed off as data.
    in = SetupPacketBytes(0xC0, 0x05, 16);
    out.assign(16, 0);
    r = Control(file, IOCTL_PIPE_CONTROL_TRANSFER, in.data(), 8, out.data(), 16);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 4u);
}

TEST_F(DevctlTest, PipeInformationAndPacketSize) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    PFILE_OBJECT none = OpenPipe("");
    ULONG packet = 0;
    IO_STATUS_BLOCK r = Control(in, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, 4);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 4u);
    EXPECT_EQ(packet, 64u);
    EXPECT_EQ(Control(in, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, 3).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(none, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, 4).Status, STATUS_INVALID_PARAMETER);

    USBD_PIPE_INFORMATION info{};
    r = Control(in, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof(info));
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 24u);
    EXPECT_EQ(info.EndpointAddress, 0x81);
    EXPECT_EQ(info.MaximumPacketSize, 64);
    EXPECT_EQ(info.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(info.MaximumTransferSize, 4096u);
    EXPECT_EQ(info.PipeFlags, 1u) << "the open marker";
    EXPECT_EQ(info.PipeHandle, PipeHandle(1));
    EXPECT_EQ(Control(in, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, 23).Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(none, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, 24).Status, STATUS_INVALID_HANDLE);

    EXPECT_EQ(Control(none, IOCTL_PIPE_RESET_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(none, IOCTL_PIPE_ABORT_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(in, IOCTL_PIPE_RESET_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(BusSpy::Urbs().back().function, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    EXPECT_EQ(BusSpy::Urbs().back().pipe, PipeHandle(1));
}

TEST_F(DevctlTest, ConfigurationDescriptorComesWholeOrNotAtAll) {
    InstallTestDevice();
    PFILE_OBJECT file = OpenPipe("");
    const Bytes expected = tarvel::usb::BuildConfigurationDescriptor(TestDeviceBlueprint());
    Bytes out(9, 0);
    IO_STATUS_BLOCK r = Control(file, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(), 9);
    EXPECT_EQ(r.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(out, Bytes(9, 0));
    out.assign(expected.size() + 10, 0);
    r = Control(file, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, out.data(), static_cast<ULONG>(out.size()));
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    ASSERT_EQ(r.Information, expected.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + expected.size()), expected);
}

TEST_F(DevctlTest, TransfersThroughDeviceControl) {
    InstallTestDevice();
    PFILE_OBJECT out = OpenPipe("\\PIPE00");
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    PFILE_OBJECT iso = OpenPipe("\\PIPE03");

    // Empty buffered write: one zero-length packet.
    IO_STATUS_BLOCK r = Control(out, IOCTL_PIPE_WRITE_BUFFERED, nullptr, 0, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(device_->outPackets, (std::vector<std::size_t>{0}));
    for (const auto& urb : BusSpy::Urbs()) {
        if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            EXPECT_EQ(urb.transferFlags, 0u) << "host-to-device, no short-transfer flag";
        }
    }

    // An output buffer too small for the byte count that comes back is refused before anything goes.
    Bytes eight(8, 0x77);
    UCHAR one = 0;
    EXPECT_EQ(Control(out, IOCTL_PIPE_WRITE_BUFFERED, eight.data(), 8, &one, 1).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device_->out.size(), 0u);

    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
    r = Control(out, IOCTL_PIPE_WRITE_BUFFERED, data.data(), 300, nullptr, 0);
    EXPECT_EQ(r.Information, 300u);
    r = Control(out, IOCTL_PIPE_WRITE_DIRECT, nullptr, 0, data.data(), 300);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 300u);
    Bytes twice = data;
    twice.insert(twice.end(), data.begin(), data.end());
    EXPECT_EQ(device_->out, twice);

    Bytes buffer(256, 0);
    EXPECT_EQ(Control(in, IOCTL_PIPE_READ_BUFFERED, nullptr, 0, nullptr, 0).Status, STATUS_INVALID_PARAMETER);
    device_->QueueInBytes(70, 0x10);
    r = Control(in, IOCTL_PIPE_READ_BUFFERED, nullptr, 0, buffer.data(), 256);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 70u);
    EXPECT_EQ(buffer[69], 0x10 + 69);
    device_->QueueInBytes(100, 0x40);
    r = Control(in, IOCTL_PIPE_READ_DIRECT, nullptr, 0, buffer.data(), 256);
    EXPECT_EQ(r.Information, 100u);
    EXPECT_EQ(buffer[99], 0x40 + 99);

    EXPECT_EQ(Control(iso, IOCTL_PIPE_READ_BUFFERED, nullptr, 0, buffer.data(), 64).Status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(DevctlTest, DirectControlTransfersUseTheRequestsBuffer) {
    InstallTestDevice();
    PFILE_OBJECT file = OpenPipe("");
    Bytes setup = SetupPacketBytes(0xC2, 0x09, 3);
    Bytes out(8, 0);
    IO_STATUS_BLOCK r = Control(file, IOCTL_PIPE_CONTROL_READ_DIRECT, setup.data(), 8, out.data(), 8);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 3u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_VENDOR_ENDPOINT), 1u);

    setup = SetupPacketBytes(0x23, 0x0A, 2);
    Bytes payload{0x55, 0x66};
    r = Control(file, IOCTL_PIPE_CONTROL_WRITE_DIRECT, setup.data(), 8, payload.data(), 2);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(device_->requestData.back(), payload);
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_CLASS_OTHER), 1u);

    EXPECT_EQ(Control(file, IOCTL_PIPE_CONTROL_READ_DIRECT, setup.data(), 7, out.data(), 8).Status, STATUS_INVALID_PARAMETER);
    setup = SetupPacketBytes(0xC0, 0x09, 9);
    EXPECT_EQ(Control(file, IOCTL_PIPE_CONTROL_READ_DIRECT, setup.data(), 8, out.data(), 8).Status, STATUS_INVALID_PARAMETER);
    setup = SetupPacketBytes(0x80, 0x06, 4);
    EXPECT_EQ(Control(file, IOCTL_PIPE_CONTROL_READ_DIRECT, setup.data(), 8, out.data(), 8).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(DevctlTest, VendorWriteSendsTheWholeInput) {
    InstallTestDevice();
    PFILE_OBJECT file = OpenPipe("");
    Bytes data{1, 2, 3};
    EXPECT_EQ(Control(file, IOCTL_PIPE_VENDOR_WRITE, data.data(), 3, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Control(file, IOCTL_PIPE_VENDOR_WRITE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    ASSERT_EQ(device_->requests.size(), 2u);
    EXPECT_EQ(device_->requests[0].requestType, 0x40);
    EXPECT_EQ(device_->requests[0].request, 0x0B);
    EXPECT_EQ(device_->requestData[0], data);
    EXPECT_EQ(device_->requests[1].length, 0);
}

TEST_F(DevctlTest, RestorePortEnablesAConnectedDisabledPortAndResetsItWhenThatFails) {
    InstallTestDevice();
    PFILE_OBJECT file = OpenPipe("");
    auto count = [](ULONG code) {
        return std::count(BusSpy::InternalCodes().begin(), BusSpy::InternalCodes().end(), code);
    };
    BusSpy::AnswerPortStatus(USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
    EXPECT_EQ(Control(file, IOCTL_PIPE_RESTORE_PORT, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(count(IOCTL_INTERNAL_USB_ENABLE_PORT), 0);

    BusSpy::AnswerPortStatus(USBD_PORT_CONNECTED);
    BusSpy::FailInternal(IOCTL_INTERNAL_USB_ENABLE_PORT, STATUS_SUCCESS);
    EXPECT_EQ(Control(file, IOCTL_PIPE_RESTORE_PORT, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(count(IOCTL_INTERNAL_USB_ENABLE_PORT), 1);
    EXPECT_EQ(count(IOCTL_INTERNAL_USB_RESET_PORT), 0);

    BusSpy::FailInternal(IOCTL_INTERNAL_USB_ENABLE_PORT, STATUS_UNSUCCESSFUL);
    BusSpy::FailInternal(IOCTL_INTERNAL_USB_RESET_PORT, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Control(file, IOCTL_PIPE_RESTORE_PORT, nullptr, 0, nullptr, 0).Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(count(IOCTL_INTERNAL_USB_RESET_PORT), 1);

    BusSpy::FailInternal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Control(file, IOCTL_PIPE_RESTORE_PORT, nullptr, 0, nullptr, 0).Status, STATUS_IO_DEVICE_ERROR);

    BusSpy::FailInternal(IOCTL_INTERNAL_USB_CYCLE_PORT, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Control(file, IOCTL_PIPE_CYCLE_PORT, nullptr, 0, nullptr, 0).Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Control(file, IOCTL_PIPE_RESET_PORT, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(count(IOCTL_INTERNAL_USB_RESET_PORT), 2);

    // A cycle asked for above PASSIVE_LEVEL, where the driver cannot wait for the bus, is refused.
    const auto cycles = count(IOCTL_INTERNAL_USB_CYCLE_PORT);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    const IO_STATUS_BLOCK r = OwnControl(nullptr, IOCTL_PIPE_CYCLE_PORT, nullptr, 0, 0);
    KeLowerIrql(irql);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count(IOCTL_INTERNAL_USB_CYCLE_PORT), cycles);
}

TEST_F(DevctlTest, UndefinedCodesAreRefused) {
    InstallTestDevice();
    PFILE_OBJECT file = OpenPipe("\\PIPE01");
    Bytes buffer(64);
    for (ULONG function : {4u, 5u, 6u, 19u, 31u}) {
        SCOPED_TRACE(function);
        EXPECT_EQ(Control(file, Code(function, METHOD_BUFFERED), buffer.data(), 8, buffer.data(), 8).Status,
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Control(file, IOCTL_PIPE_READ_BUFFERED | METHOD_NEITHER, nullptr, 0, buffer.data(), 8).Status,
              STATUS_INVALID_PARAMETER);
}

// Every function 0 to 31 with every method and a spread of lengths, on a handle bound to the bulk OUT
// pipe and on one bound to nothing: each request completes exactly once (the verifier stops a second
// completion), nothing reads or writes outside its buffers (AddressSanitizer), and the driver is left
// with only its own reference.
TEST_F(DevctlTest, SweepOfEveryFunctionMethodAndLength) {
    InstallTestDevice();
    // A cycle would take the device off the bus; the sweep keeps it plugged.
    BusSpy::FailInternal(IOCTL_INTERNAL_USB_CYCLE_PORT, STATUS_UNSUCCESSFUL, ~0u);
    PFILE_OBJECT handles[] = {OpenPipe("\\PIPE00"), OpenPipe("")};
    const ULONG lengths[] = {0, 1, 7, 8, 9, 23, 24, 4096};
    std::vector<std::uint8_t> in(8192), out(8192);
    unsigned requests = 0;
    for (PFILE_OBJECT file : handles) {
        for (ULONG function = 0; function < 32; ++function) {
            for (ULONG method = 0; method < 4; ++method) {
                for (ULONG inLength : lengths) {
                    for (ULONG outLength : lengths) {
                        // Setup packets that ask for at most what the buffers hold.
                        for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 7 + function);
                        in[0] = static_cast<std::uint8_t>(0x40 | (function & 0x80) | (inLength & 0x23));
                        in[6] = static_cast<std::uint8_t>(outLength & 0xFF);
                        in[7] = 0;
                        const IO_STATUS_BLOCK r = Control(file, Code(function, method), inLength ? in.data() : nullptr,
                                                          inLength, outLength ? out.data() : nullptr, outLength);
                        ++requests;
                        EXPECT_NE(r.Status, STATUS_PENDING);
                        if (NT_SUCCESS(r.Status)) {
                            EXPECT_LE(r.Information, std::max(inLength, outLength));
                        }
                    }
                }
            }
        }
        // Every transfer that went down has come back.
        EXPECT_EQ(Ext()->OutstandingIo, 1) << "after handle " << (file == handles[0] ? "bound" : "unbound");
    }
    EXPECT_EQ(requests, 2u * 32 * 4 * 8 * 8);
    // The sweep may have suspended the device last; it comes back for the tear-down.
    Control(handles[1], IOCTL_PIPE_RESUME_DEVICE, nullptr, 0, nullptr, 0);
}

}  // namespace
}  // namespace pipetest
