// Orderly removals of a device whose stack has a file object open: vetoed before any driver is asked,
// the stack left started and serving, and let through once the last file object has been closed.
// A surprise removal is not an orderly one: it goes through, and its removal follows the last close.
#include <algorithm>

#include "pnp_fixture.h"
#include "tarvel/user.h"

namespace tarvel::testing {
namespace {

using namespace tarvel::user;

class RemovalVeto : public PlatformTest {
  protected:
    pnp::DeviceNode* InstallRecorder(ULONG index) {
        node_ = Install(Description({DwordValue("Index", index)}));
        name_ = "\\\\.\\PNPREC" + std::to_string(index);
        return node_;
    }
    HANDLE OpenRecorder() {
        return CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    // The removal was refused for an open file object, named by the device's instance path, and
    // nothing reached the stack.
    void ExpectVetoedForAnOpenFile(NTSTATUS status) {
        EXPECT_EQ(status, STATUS_PLUGPLAY_QUERY_VETOED);
        const pnp::Veto veto = pnp::LastVeto(node_);
        EXPECT_EQ(veto.type, pnp::PNP_VetoOutstandingOpen);
        EXPECT_FALSE(veto.name.empty());
        EXPECT_EQ(veto.name, io::InstancePath(pnp::PhysicalDevice(node_)));
        EXPECT_TRUE(recording_.Take(":PnP").empty());
        EXPECT_EQ(pnp::State(node_), pnp::NodeState::Started);
    }
    void ExpectDisabledAfterTheLastClose() {
        EXPECT_EQ(pnp::Disable(node_), STATUS_SUCCESS);
        EXPECT_EQ(pnp::LastVeto(node_).type, pnp::PNP_VetoTypeUnknown);
        EXPECT_TRUE(pnp::LastVeto(node_).name.empty());
        EXPECT_EQ(pnp::State(node_), pnp::NodeState::Disabled);
        const auto events = recording_.Take("func:");
        const auto query = std::find(events.begin(), events.end(), "func:PnP:0x01");
        ASSERT_NE(query, events.end());
        EXPECT_EQ(std::find(query, events.end(), "func:Close"), events.end()) << "a close came after the query";
        EXPECT_NE(std::find(query, events.end(), "func:PnP:0x02"), events.end());
    }

    pnp::DeviceNode* node_ = nullptr;
    std::string name_;
};

TEST_F(RemovalVeto, AnOpenHandleVetoesEveryOrderlyRemovalAndTheStackKeepsServingIt) {
    InstallRecorder(5);
    HANDLE file = OpenRecorder();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED read{};
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[8] = {};
    ASSERT_FALSE(ReadFile(file, buffer, sizeof buffer, nullptr, &read));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    recording_.Clear();

    ExpectVetoedForAnOpenFile(pnp::Disable(node_));
    ExpectVetoedForAnOpenFile(pnp::QueryRemoveAndRemove(node_));
    ExpectVetoedForAnOpenFile(pnp::QueryRemoveAndCancel(node_));

    // The read in flight is untouched and completes with the next write on the same handle.
    EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_PENDING);
    OVERLAPPED write{};
    DWORD moved = 0;
    EXPECT_TRUE(WriteFile(file, "kept", 4, &moved, &write));
    EXPECT_TRUE(GetOverlappedResult(file, &read, &moved, TRUE));
    EXPECT_EQ(std::string(buffer, moved), "kept");
    // Opens are not refused once the veto is given.
    HANDLE second = OpenRecorder();
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(second));
    ExpectVetoedForAnOpenFile(pnp::Disable(node_));

    EXPECT_TRUE(CloseHandle(file));
    CloseHandle(read.hEvent);
    ExpectDisabledAfterTheLastClose();
}

TEST_F(RemovalVeto, AHandleClosedWithARequestInFlightVetoesUntilItsCloseHasGoneOut) {
    InstallRecorder(6);
    HANDLE file = OpenRecorder();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED read{};
    char buffer[4];
    ASSERT_FALSE(ReadFile(file, buffer, sizeof buffer, nullptr, &read));
    EXPECT_TRUE(CloseHandle(file)); // cleanup now, the close when the read has ended
    recording_.Clear();
    ExpectVetoedForAnOpenFile(pnp::Disable(node_));

    HANDLE writer = OpenRecorder();
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD moved = 0;
    OVERLAPPED write{};
    EXPECT_TRUE(WriteFile(writer, "late", 4, &moved, &write)); // ends the read, whose close follows
    EXPECT_TRUE(CloseHandle(writer));
    kernel::RunUntilIdle();
    EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_SUCCESS);
    ExpectDisabledAfterTheLastClose();
}

TEST_F(RemovalVeto, AKernelComponentsReferenceToAFileObjectVetoesToo) {
    InstallRecorder(7);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\PnpRecorder7");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(pnp::OpenHandles(node_), 0u); // no application handle: only the file object holds it
    recording_.Clear();
    ExpectVetoedForAnOpenFile(pnp::Disable(node_));

    ObDereferenceObject(file);
    ExpectDisabledAfterTheLastClose();
}

TEST_F(RemovalVeto, ASurpriseRemovalAfterAVetoGoesThroughAndItsRemovalFollowsTheLastClose) {
    InstallRecorder(8);
    HANDLE file = OpenRecorder();
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    recording_.Clear();
    ExpectVetoedForAnOpenFile(pnp::Disable(node_));

    pnp::SurpriseRemove(node_);
    EXPECT_EQ(recording_.Take(":PnP"),
              (std::vector<std::string>{"filter:PnP:0x17", "func:PnP:0x17", "bus:PnP:0x17"}));
    EXPECT_EQ(pnp::State(node_), pnp::NodeState::SurpriseRemoved);
    EXPECT_EQ(pnp::Disable(node_), STATUS_INVALID_DEVICE_STATE); // nothing orderly about it any more

    EXPECT_TRUE(CloseHandle(file));
    pnp::WaitForIdle();
    const auto events = recording_.Take("func:");
    const auto close = std::find(events.begin(), events.end(), "func:Close");
    const auto removal = std::find(events.begin(), events.end(), "func:PnP:0x02");
    ASSERT_NE(removal, events.end());
    EXPECT_LT(close, removal);
    EXPECT_EQ(pnp::State(node_), pnp::NodeState::Deleted);
}

} // namespace
} // namespace tarvel::testing
