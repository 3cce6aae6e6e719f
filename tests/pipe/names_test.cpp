// Pipe names: the three forms and their exact parsing, one file object per pipe, the open of the
// device itself, and racing opens of one pipe.
#include "pipe_machine.h"

namespace pipetest {
namespace {

// Twelve pipes, so that two-digit hexadecimal indexes have something to name: 0x01, 0x81, 0x02,
// 0x82, ... 0x06, 0x86 in this order.
DeviceBlueprint TwelvePipes() {
    DeviceBlueprint blueprint = TestDeviceBlueprint();
    blueprint.interfaces[0].endpoints.clear();
    for (std::uint8_t n = 1; n <= 6; ++n) {
        blueprint.interfaces[0].endpoints.push_back({n, EndpointType::Bulk, 64, 0});
        blueprint.interfaces[0].endpoints.push_back({static_cast<std::uint8_t>(0x80 | n), EndpointType::Bulk, 64, 0});
    }
    return blueprint;
}

class NamesTest : public PipeMachine {
protected:
    // The endpoint address a name binds, or the failure status of its open.
    struct Bound {
        NTSTATUS status;
        UCHAR address;
    };
    Bound OpenAndIdentify(const std::string& name) {
        PFILE_OBJECT file = nullptr;
        const NTSTATUS status = Open(name, &file);
        if (!NT_SUCCESS(status)) return {status, 0};
        USBD_PIPE_INFORMATION info{};
        const IO_STATUS_BLOCK r = Control(file, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof(info));
        Close(file);
        if (!NT_SUCCESS(r.Status)) return {r.Status, 0};
        return {STATUS_SUCCESS, info.EndpointAddress};
    }
};

TEST_F(NamesTest, EachFormNamesThePipeItsTextSays) {
    auto& device = MakeTestDevice(TwelvePipes());
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    ASSERT_EQ(PipeCountNow(), 12u);

    struct Case {
        const char* name;
        NTSTATUS status;
        UCHAR address;
    };
    const Case cases[] = {
        {"\\PIPE00", STATUS_SUCCESS, 0x01},
        {"\\pipe00", STATUS_SUCCESS, 0x01},
        {"\\Pipe00", STATUS_SUCCESS, 0x01},
        {"\\PIPE0a", STATUS_SUCCESS, 0x06},  // index 10
        {"\\PIPE0B", STATUS_SUCCESS, 0x86},  // index 11
        {"\\PIPE1z", STATUS_SUCCESS, 0x81},  // digits up to the first non-digit: 1
        {"\\PIPEzz", STATUS_SUCCESS, 0x01},  // no digit: 0
        {"\\PIPE-1", STATUS_INVALID_HANDLE, 0},
        {"\\PIPE0c", STATUS_INVALID_HANDLE, 0},  // index 12: beyond the table
        {"\\PIPE0", STATUS_INVALID_HANDLE, 0},
        {"\\PIPE000", STATUS_INVALID_HANDLE, 0},
        {"\\EP01", STATUS_SUCCESS, 0x01},  // the OUT endpoint comes first
        {"\\ep02", STATUS_SUCCESS, 0x02},
        {"\\EA81", STATUS_SUCCESS, 0x81},
        {"\\ea86", STATUS_SUCCESS, 0x86},
        {"\\EP81", STATUS_INVALID_HANDLE, 0},  // an endpoint number never exceeds 0x7F
        {"\\EA07", STATUS_INVALID_HANDLE, 0},
        {"\\EP1", STATUS_INVALID_HANDLE, 0},
        {"\\XY01", STATUS_INVALID_HANDLE, 0},
        {"\\PIPE", STATUS_INVALID_HANDLE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bound bound = OpenAndIdentify(c.name);
        EXPECT_EQ(bound.status, c.status);
        EXPECT_EQ(bound.address, c.address);
    }
    for (ULONG i = 0; i < 12; ++i) EXPECT_EQ(Ext()->ConfigInfo->PipeTable[i].PipeInfo->PipeFlags, 0u);
}

TEST_F(NamesTest, APipeIsOpenThroughOneFileObjectAtATime) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    PFILE_OBJECT first = OpenPipe("\\PIPE01");
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(Open("\\PIPE01", &second), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Open("\\EA81", &second), STATUS_INVALID_HANDLE) << "the same pipe under another name";
    OwnFile own;
    EXPECT_EQ(OwnCreate(&own, L"\\PIPE01"), STATUS_INVALID_HANDLE);

    // The first keeps it and works.
    ULONG packet = 0;
    EXPECT_EQ(Control(first, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, 4).Status, STATUS_SUCCESS);
    Close(first);
    EXPECT_EQ(OwnCreate(&own, L"\\PIPE01"), STATUS_SUCCESS);
    EXPECT_EQ(OwnClose(&own), STATUS_SUCCESS);
    EXPECT_EQ(OwnClose(&own), STATUS_INVALID_HANDLE) << "a second close finds nothing bound";
    EXPECT_EQ(Open("\\PIPE01", &second), STATUS_SUCCESS);
}

TEST_F(NamesTest, AnEmptyNameOpensTheDeviceWithoutAPipe) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    PFILE_OBJECT file = OpenPipe("");
    Bytes buffer(64);
    EXPECT_EQ(Read(file, buffer.data(), 64).Status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Write(file, buffer.data(), 64).Status, STATUS_INVALID_HANDLE);
    ULONG packet = 0;
    EXPECT_EQ(Control(file, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, 4).Status, STATUS_INVALID_PARAMETER);
    USBD_PIPE_INFORMATION info{};
    EXPECT_EQ(Control(file, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof(info)).Status, STATUS_INVALID_HANDLE);
    // Device-wide codes work on it.
    Bytes descriptor(512);
    EXPECT_EQ(Control(file, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, descriptor.data(), 512).Status, STATUS_SUCCESS);

    OwnFile own;
    EXPECT_EQ(OwnCreate(&own, L""), STATUS_SUCCESS);
    EXPECT_EQ(own.object.FsContext, nullptr);
    EXPECT_EQ(OwnClose(&own), STATUS_INVALID_HANDLE);
}

class RacingOpensTest : public PipeMachine {
protected:
    kernel::BootOptions Options() override {
        kernel::BootOptions options;
        options.policy = kernel::Policy::Random;
        options.seed = 0x5EED;
        options.switchProbability = 0.6;
        return options;
    }
};

TEST_F(RacingOpensTest, ManyOpensOfOnePipeHaveExactlyOneWinner) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    constexpr int kThreads = 8;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        OwnFile files[kThreads];
        NTSTATUS results[kThreads];
        int finished = 0;
        for (int t = 0; t < kThreads; ++t) {
            results[t] = STATUS_PENDING;
            kernel::StartThread("opener", [&, t] {
                results[t] = OwnCreate(&files[t], L"\\PIPE01");
                ++finished;
            });
        }
        while (finished < kThreads) kernel::RunUntilIdle();
        int winners = 0;
        for (int t = 0; t < kThreads; ++t) {
            if (results[t] == STATUS_SUCCESS) {
                ++winners;
                EXPECT_EQ(OwnClose(&files[t]), STATUS_SUCCESS);
            } else {
                EXPECT_EQ(results[t], STATUS_INVALID_HANDLE);
            }
        }
        EXPECT_EQ(winners, 1);
        EXPECT_EQ(Ext()->ConfigInfo->PipeTable[1].PipeInfo->PipeFlags, 0u);
    }
}

}  // namespace
}  // namespace pipetest
