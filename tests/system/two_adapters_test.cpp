// Two adapters at once: the arbiter names them COM3 and COM4, each port talks only to its own far end,
// and pulling one out leaves the other working; a third adapter takes the name that came free.
#include "system_fixture.h"

namespace systemtest {
namespace {

class TwoAdapters : public SystemTest {
protected:
    m::Adapter& PlugScripted() {
        m::AdapterOptions options;
        options.farSideKind = m::FarSideKind::Scripted;
        m::Adapter& adapter = machine->Plug(options);
        EXPECT_TRUE(adapter.Started());
        return adapter;
    }
    // Reads exactly n bytes (timeouts that wait for the first byte, then what is there).
    static std::vector<std::uint8_t> ReadExactly(HANDLE port, std::size_t n) {
        std::vector<std::uint8_t> got, in(256);
        while (got.size() < n) {
            Pending read;
            if (!u::ReadFile(port, in.data(), static_cast<DWORD>(n - got.size()), nullptr, &read.ov) &&
                u::GetLastError() != ERROR_IO_PENDING)
                break;
            if (!read.Wait(port) || read.bytes == 0) break;
            got.insert(got.end(), in.begin(), in.begin() + read.bytes);
        }
        return got;
    }
    static bool Write(HANDLE port, const std::vector<std::uint8_t>& bytes) {
        Pending write;
        if (!u::WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &write.ov) &&
            u::GetLastError() != ERROR_IO_PENDING)
            return false;
        return write.Wait(port) && write.bytes == bytes.size();
    }
    static void Configure(HANDLE port) {
        ASSERT_TRUE(SetLine(port, 115200));
        u::COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 500, 0, 0};
        ASSERT_TRUE(u::SetCommTimeouts(port, &timeouts));
    }
};

TEST_F(TwoAdapters, GetComThreeAndComFourAndWorkIndependently) {
    Boot();
    m::Adapter& first = PlugScripted();
    m::Adapter& second = PlugScripted();
    EXPECT_EQ(first.ComName(), "COM3");
    EXPECT_EQ(second.ComName(), "COM4");

    const auto ports = u::EnumerateComPorts();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].name, "COM3");
    EXPECT_EQ(ports[0].instancePath, first.InstancePath());
    EXPECT_EQ(ports[1].name, "COM4");
    EXPECT_EQ(ports[1].instancePath, second.InstancePath());
    EXPECT_NE(ports[0].interfacePath, ports[1].interfacePath);
    EXPECT_NE(ports[0].device, ports[1].device);

    HANDLE com3 = Open("COM3");
    HANDLE com4 = Open("COM4");
    Configure(com3);
    Configure(com4);
    // Different rates on the two lines: each adapter runs its own.
    ASSERT_TRUE(SetLine(com4, 38400));
    EXPECT_EQ(first.Model().Line().Settings().baud, 115200u);
    EXPECT_EQ(second.Model().Line().Settings().baud, 38400u);

    const auto toThree = Bytes("for the first far end"), toFour = Bytes("for the second far end, a bit longer");
    ASSERT_TRUE(Write(com3, toThree));
    ASSERT_TRUE(Write(com4, toFour));
    first.Peer().Send(Bytes("from the first"));
    second.Peer().Send(Bytes("from the second"));
    EXPECT_EQ(ReadExactly(com4, 15), Bytes("from the second"));
    EXPECT_EQ(ReadExactly(com3, 14), Bytes("from the first"));
    RunFor(20 * kMs);
    EXPECT_EQ(first.Peer().ReceivedBytes(), toThree);
    EXPECT_EQ(second.Peer().ReceivedBytes(), toFour);

    // The first adapter goes: its port fails, its names go, the second keeps working.
    Close(com3);
    machine->Unplug(first);
    EXPECT_TRUE(first.Gone());
    EXPECT_FALSE(tarvel::io::SymbolicLinkTarget("\\DosDevices\\COM3"));
    ASSERT_EQ(u::EnumerateComPorts().size(), 1u);
    EXPECT_EQ(u::EnumerateComPorts()[0].name, "COM4");
    second.Peer().ClearReceived();
    ASSERT_TRUE(Write(com4, Bytes("still here")));
    RunFor(20 * kMs);
    EXPECT_EQ(second.Peer().ReceivedBytes(), Bytes("still here"));

    // A new adapter takes the name that came free.
    m::Adapter& third = PlugScripted();
    EXPECT_EQ(third.ComName(), "COM3");
    HANDLE again = Open("COM3");
    Configure(again);
    third.Peer().Send(Bytes("third"));
    EXPECT_EQ(ReadExactly(again, 5), Bytes("third"));
}

TEST_F(TwoAdapters, UnpluggedWhileOpenTheRemovalWaitsForTheLastHandle) {
    Boot();
    m::Adapter& adapter = PlugScripted();
    HANDLE port = Open("COM3");
    Configure(port);
    machine->Unplug(adapter);
    EXPECT_FALSE(adapter.Gone()) << "the removal waits for the handle";
    EXPECT_FALSE(tarvel::io::SymbolicLinkTarget("\\DosDevices\\COM3")) << "the name goes at surprise removal";
    Pending read;
    std::vector<std::uint8_t> in(8);
    EXPECT_FALSE(u::ReadFile(port, in.data(), 8, nullptr, &read.ov));
    EXPECT_EQ(u::GetLastError(), ERROR_ACCESS_DENIED) << "STATUS_DELETE_PENDING for a port that is going";
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE);
    Close(port);
    tarvel::pnp::WaitForIdle();
    EXPECT_TRUE(adapter.Gone());
}

} // namespace
} // namespace systemtest
