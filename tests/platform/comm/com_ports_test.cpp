// Port enumeration without the PnP manager: SERIALCOMM entries alone (the whole stack, with interfaces
// and device instances, is enumerated by the system tests).
#include "comm_fixture.h"
#include "tarvel/io.h"
#include "tarvel/user/comports.h"

namespace commtest {
namespace {

TEST(ComPorts, SerialCommEntriesWithoutDeviceInstances) {
    tarvel::kernel::Boot();
    EXPECT_TRUE(u::EnumerateComPorts().empty());
    {
        RecordingPort port;
        const std::string key = std::string(tarvel::io::kDeviceMapPath) + "\\SERIALCOMM";
        tarvel::io::SetRegistryString(key, "\\Device\\RecordingPort", "COM9");
        tarvel::io::SetRegistryString(key, "\\Device\\Serial0", "COM1");
        const auto ports = u::EnumerateComPorts();
        ASSERT_EQ(ports.size(), 2u);
        EXPECT_EQ(ports[0].name, "COM9");
        EXPECT_EQ(ports[0].device, "\\Device\\RecordingPort");
        EXPECT_EQ(ports[0].interfacePath, "");
        EXPECT_EQ(ports[0].instancePath, "") << "the recording port is no PnP device";
        EXPECT_EQ(ports[1].name, "COM1");
        EXPECT_EQ(ports[1].device, "\\Device\\Serial0");
    }
    tarvel::kernel::Shutdown();
}

} // namespace
} // namespace commtest
