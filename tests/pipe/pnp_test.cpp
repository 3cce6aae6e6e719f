// PnP and the outstanding-I/O count: which requests are served in which state, the waits of
// query-remove, stop and removal for requests inside the driver, bindings that outlive a restart,
// and the capabilities answered to the PnP manager.
#include "pipe_machine.h"

namespace pipetest {
namespace {

class PnpTest : public PipeMachine {
protected:
    void InstallTestDevice() {
        device_ = &MakeTestDevice();
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    NTSTATUS Send(UCHAR minor) { return pnp::SendRequest(Node(), minor); }
    ULONG MaxPacket(PFILE_OBJECT file, NTSTATUS* status) {
        ULONG size = 0;
        *status = Control(file, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &size, sizeof(size)).Status;
        return size;
    }
    TestDevice* device_ = nullptr;
};

TEST_F(PnpTest, QueryRemoveWaitsForARequestInsideTheDriverAndCancelServesAgain) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(64);
    Pending read;
    ASSERT_EQ(ReadAsync(in, buffer.data(), 64, &read), STATUS_PENDING);

    NTSTATUS query = STATUS_PENDING;
    bool queried = false;
    kernel::StartThread("pnp-query", [&] {
        query = Send(IRP_MN_QUERY_REMOVE_DEVICE);
        queried = true;
    });
    RunFor(1000);
    EXPECT_FALSE(queried) << "query-remove must wait for the pending read";
    EXPECT_EQ(std::count(BusSpy::PnpMinors().begin(), BusSpy::PnpMinors().end(), IRP_MN_QUERY_REMOVE_DEVICE), 0);

    device_->QueueIn(Bytes(10, 0x33));
    RunFor(100);
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.result.Status, STATUS_SUCCESS);
    EXPECT_EQ(read.result.Information, 10u);
    ASSERT_TRUE(queried);
    EXPECT_EQ(query, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->OutstandingIo, 1);

    // Remove pending: new requests are refused.
    EXPECT_EQ(Read(in, buffer.data(), 64).Status, STATUS_DELETE_PENDING);
    NTSTATUS status;
    MaxPacket(in, &status);
    EXPECT_EQ(status, STATUS_DELETE_PENDING);

    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    device_->QueueIn(Bytes(5, 0x44));
    IO_STATUS_BLOCK again = Read(in, buffer.data(), 64);
    EXPECT_EQ(again.Status, STATUS_SUCCESS);
    EXPECT_EQ(again.Information, 5u);
}

TEST_F(PnpTest, QueryRemoveOfADeviceThatStaysBusyIsRefusedInsteadOfHanging) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(64);
    Pending read;
    ASSERT_EQ(ReadAsync(in, buffer.data(), 64, &read), STATUS_PENDING);

    // The PnP manager vetoes an orderly removal while a pipe is open, so the query goes to the stack directly.
    const kernel::VirtualTime before = kernel::Now();
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_GE(kernel::Now() - before, 5 * kernel::kSecond);
    EXPECT_FALSE(Ext()->RemovePending);
    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp::State(Node()), pnp::NodeState::Started);
    EXPECT_FALSE(read.done) << "the client's read is left alone";

    device_->QueueIn(Bytes(3, 1));
    RunFor(100);
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.result.Information, 3u);
}

TEST_F(PnpTest, QueryStopRefusesRequestsUntilCancelStop) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(64);
    EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Read(in, buffer.data(), 64).Status, STATUS_DELETE_PENDING);
    NTSTATUS status;
    MaxPacket(in, &status);
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    OwnFile own;
    EXPECT_EQ(OwnCreate(&own, L"\\PIPE00"), STATUS_DELETE_PENDING);
    EXPECT_EQ(OwnClose(&own), STATUS_DELETE_PENDING);
    EXPECT_EQ(Ext()->ConfigInfo->PipeTable[1].PipeInfo->PipeFlags, 1u) << "a refused close leaves the pipe open";

    EXPECT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(MaxPacket(in, &status), 64u);
    EXPECT_EQ(status, STATUS_SUCCESS);
    device_->QueueIn(Bytes(7, 2));
    EXPECT_EQ(Read(in, buffer.data(), 64).Information, 7u);
}

TEST_F(PnpTest, BindingsThatOutliveARestartAreRefusedWithoutTouchingTheOldTable) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    OwnFile own;
    ASSERT_EQ(OwnCreate(&own, L"\\PIPE00"), STATUS_SUCCESS);

    ASSERT_EQ(pnp::Rebalance(Node()), STATUS_SUCCESS);  // query-stop, stop, start: a new pipe table
    ASSERT_EQ(pnp::State(Node()), pnp::NodeState::Started);
    for (ULONG i = 0; i < PipeCountNow(); ++i) EXPECT_EQ(Ext()->ConfigInfo->PipeTable[i].PipeInfo->PipeFlags, 0u);

    Bytes buffer(64);
    EXPECT_EQ(Read(in, buffer.data(), 64).Status, STATUS_INVALID_HANDLE);
    NTSTATUS status;
    MaxPacket(in, &status);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    Bytes data(8, 1);
    EXPECT_EQ(OwnControl(&own, IOCTL_PIPE_WRITE_BUFFERED, data.data(), 8, 0).Status, STATUS_INVALID_HANDLE);

    // The pipes can be opened again; the old bindings cannot close the new ones.
    PFILE_OBJECT again = OpenPipe("\\PIPE01");
    OwnFile ownAgain;
    ASSERT_EQ(OwnCreate(&ownAgain, L"\\PIPE00"), STATUS_SUCCESS);
    EXPECT_EQ(OwnClose(&own), STATUS_INVALID_HANDLE);
    Close(in);
    EXPECT_EQ(Ext()->ConfigInfo->PipeTable[0].PipeInfo->PipeFlags, 1u);
    EXPECT_EQ(Ext()->ConfigInfo->PipeTable[1].PipeInfo->PipeFlags, 1u);
    device_->QueueIn(Bytes(4, 9));
    EXPECT_EQ(Read(again, buffer.data(), 64).Information, 4u);
    EXPECT_EQ(OwnClose(&ownAgain), STATUS_SUCCESS);
}

TEST_F(PnpTest, StopEndsTransfersStillInsideTheDriverBeforeReleasingTheTable) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(4096);
    Pending read;
    ASSERT_EQ(ReadAsync(in, buffer.data(), 4096, &read), STATUS_PENDING);
    ASSERT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(read.done) << "query-stop does not wait";
    ASSERT_EQ(Send(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_TRUE(read.done) << "the stop ended the read before the table went";
    EXPECT_EQ(read.result.Status, STATUS_CANCELLED);
    EXPECT_EQ(Ext()->ConfigInfo, nullptr);
    EXPECT_FALSE(Ext()->Started);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    // The transfer reset its pipe before completing: after the abort of the stop, before the unconfigure.
    const long reset = BusSpy::Find(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    long unconfigure = -1;
    for (std::size_t i = 0; i < BusSpy::Urbs().size(); ++i)
        if (BusSpy::Urbs()[i].withoutConfiguration) unconfigure = static_cast<long>(i);
    ASSERT_GE(reset, 0);
    ASSERT_GE(unconfigure, 0);
    EXPECT_LT(reset, unconfigure);
    EXPECT_EQ(Send(IRP_MN_START_DEVICE), STATUS_SUCCESS);
}

TEST_F(PnpTest, StopWhoseDeconfigurationFailsKeepsStartedButServesNothingFromTheOldTable) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    BusSpy::FailUrbs(
        [](PURB urb) {
            return urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION &&
                   urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
        },
        STATUS_UNSUCCESSFUL, static_cast<LONG>(USBD_STATUS_SET_CONFIG_FAILED));
    ASSERT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    const std::size_t minorsBefore = BusSpy::PnpMinors().size();
    EXPECT_EQ(Send(IRP_MN_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BusSpy::PnpMinors().size(), minorsBefore) << "a failed stop does not go down";
    EXPECT_TRUE(Ext()->Started);
    EXPECT_FALSE(Ext()->StopPending);
    EXPECT_EQ(Ext()->ConfigInfo, nullptr);

    Bytes buffer(64);
    EXPECT_EQ(Read(in, buffer.data(), 64).Status, STATUS_INVALID_HANDLE);
    Bytes descriptor(256);
    EXPECT_EQ(Control(in, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, descriptor.data(), 256).Status,
              STATUS_INVALID_DEVICE_STATE);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open("\\PIPE00", &file), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(PnpTest, AfterSurpriseRemovalOnlyOpenAndCloseAreServed) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(64);
    Pending read;
    ASSERT_EQ(ReadAsync(in, buffer.data(), 64, &read), STATUS_PENDING);

    tarvel::usb::Unplug(port_);
    RunFor(100);
    ASSERT_EQ(pnp::State(Node()), pnp::NodeState::SurpriseRemoved) << "a handle is still open";
    ASSERT_TRUE(read.done);
    EXPECT_FALSE(NT_SUCCESS(read.result.Status));
    EXPECT_TRUE(io::EnabledInterfaces(GUID_DEVINTERFACE_USB_PIPES).empty()) << "interface disabled at once";
    EXPECT_TRUE(Ext()->SurpriseRemoved);

    EXPECT_EQ(Read(in, buffer.data(), 64).Status, STATUS_DELETE_PENDING);
    NTSTATUS status;
    MaxPacket(in, &status);
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    OwnFile own;
    EXPECT_EQ(OwnCreate(&own, L"\\PIPE02"), STATUS_SUCCESS);
    EXPECT_EQ(OwnClose(&own), STATUS_SUCCESS);

    Close(in);  // the last handle: the removal goes out
    pnp::WaitForIdle();
    EXPECT_EQ(pnp::State(Node()), pnp::NodeState::Deleted);
    EXPECT_EQ(kernel::PoolOutstanding(PIPE_POOL_TAG), 0u);
    port_ = nullptr;  // the bus has deleted it
}

TEST_F(PnpTest, RemovalByThePnpManagerReleasesEverything) {
    InstallTestDevice();
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Close(in);
    EXPECT_EQ(pnp::QueryRemoveAndRemove(Node()), STATUS_SUCCESS);
    EXPECT_TRUE(io::EnabledInterfaces(GUID_DEVINTERFACE_USB_PIPES).empty());
    EXPECT_EQ(kernel::PoolOutstanding(PIPE_POOL_TAG), 0u) << kernel::PoolLeakReport();
    EXPECT_EQ(kernel::FindDriver("tarvelpipe"), nullptr);
    const auto& minors = BusSpy::PnpMinors();
    EXPECT_NE(std::find(minors.begin(), minors.end(), IRP_MN_REMOVE_DEVICE), minors.end());
}

TEST_F(PnpTest, AddDeviceAsksTheBusForCapabilitiesWithARecordItAccepts) {
    InstallTestDevice();
    // AddDevice's own query, then the PnP manager's before and after the start, passed down: the bus
    // answered all three.
    ASSERT_EQ(BusSpy::CapabilityAnswers().size(), 3u);
    for (NTSTATUS answer : BusSpy::CapabilityAnswers()) EXPECT_EQ(answer, STATUS_SUCCESS);
}

TEST_F(PnpTest, CapabilitiesAlwaysAllowSurpriseRemovalAndShortRecordsNeverReachTheBus) {
    BusSpy::DenySurpriseRemoval(true);
    InstallTestDevice();
    EXPECT_TRUE(pnp::Capabilities(Node()).SurpriseRemovalOK) << "set again after the bus answered";
    EXPECT_FALSE(Ext()->Capabilities.SurpriseRemovalOK) << "the driver keeps the bus's own answer";

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES) - 1;
    caps.Version = 1;
    const std::size_t before = BusSpy::PnpMinors().size();
    NTSTATUS status = pnp::SendRequest(Node(), IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BusSpy::PnpMinors().size(), before);

    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 0;
    EXPECT_EQ(pnp::SendRequest(Node(), IRP_MN_QUERY_CAPABILITIES,
                               [&](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = &caps; }),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BusSpy::PnpMinors().size(), before);
}

// Reads and writes race two restarts under the random policy: every request ends with a status
// its moment allows (served, refused while the restart is pending, ended by the stop's drain, or
// refused afterwards as a binding of the old table), nothing touches a released table
// (AddressSanitizer), and the count returns to its base.
class RestartRaceTest : public PnpTest, public ::testing::WithParamInterface<int> {
protected:
    kernel::BootOptions Options() override {
        kernel::BootOptions options;
        options.policy = kernel::Policy::Random;
        options.seed = static_cast<std::uint64_t>(GetParam());
        options.switchProbability = 0.4;
        return options;
    }
};

TEST_P(RestartRaceTest, TransfersRacingARestartEndCleanly) {
    InstallTestDevice();
    PFILE_OBJECT out = OpenPipe("\\PIPE00");
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    device_->QueueInBytes(64 * 40);
    std::vector<NTSTATUS> statuses;
    int finished = 0;
    kernel::StartThread("writer", [&] {
        Bytes data(100, 0x5C);
        for (int i = 0; i < 30; ++i) {
            statuses.push_back(Write(out, data.data(), 100).Status);
            RunFor(2);
        }
        ++finished;
    });
    kernel::StartThread("reader", [&] {
        Bytes buffer(64);
        for (int i = 0; i < 30; ++i) {
            statuses.push_back(Read(in, buffer.data(), 64).Status);
            RunFor(2);
        }
        ++finished;
    });
    RunFor(GetParam() * 3);
    EXPECT_EQ(pnp::Rebalance(Node()), STATUS_SUCCESS);
    RunFor(10);
    EXPECT_EQ(pnp::Rebalance(Node()), STATUS_SUCCESS);
    while (finished < 2) RunFor(10);
    for (NTSTATUS status : statuses) {
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DELETE_PENDING || status == STATUS_INVALID_HANDLE ||
                    status == STATUS_CANCELLED)
            << std::hex << status;
    }
    EXPECT_EQ(statuses.size(), 60u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

INSTANTIATE_TEST_SUITE_P(Seeds, RestartRaceTest, ::testing::Range(1, 9));

}  // namespace
}  // namespace pipetest
