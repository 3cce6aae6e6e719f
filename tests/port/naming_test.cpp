// How the port is found: the COM name from PortName linked at the first start and published in
// SERIALCOMM, kept over a stop, taken back once at surprise removal; and PortName data that make no
// usable name refused without a trace.
#include "bare_device.h"
#include "port_file.h"

namespace porttest {
namespace {

using namespace tarvel::kernel;

const std::string kSerialComm = std::string(tarvel::io::kDeviceMapPath) + "\\SERIALCOMM";

class NamingTest : public BareDeviceTest {
protected:
    bool Linked(const std::string& com) {
        auto target = tarvel::io::SymbolicLinkTarget("\\DosDevices\\" + com);
        return target && *target == "\\Device\\tarvelport0";
    }
    std::optional<tarvel::io::RegistryValue> SerialComm() {
        return tarvel::io::QueryRegistryValue(kSerialComm, "\\Device\\tarvelport0");
    }
    std::size_t Interfaces() { return tarvel::io::EnabledInterfaces(kComPortInterface).size(); }
    // DOS names that lead to the port device.
    std::size_t PortLinks() {
        std::size_t links = 0;
        for (const std::string& name : tarvel::io::DosDeviceNames()) {
            links += tarvel::io::FindDevice("\\DosDevices\\" + name) == port;
        }
        return links;
    }
};

TEST_F(NamingTest, TheFirstStartLinksTheComNameAndPublishesIt) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(Linked("COM7"));  // not before the start
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Linked("COM7"));
    auto value = SerialComm();
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, (ULONG)REG_SZ);
    EXPECT_EQ(value->data, Utf16("COM7"));  // 10 bytes with the terminator
    EXPECT_EQ(ext->PnpState, PnpStarted);
    EXPECT_EQ(ext->DevicePowerState, PortPowerWorking);
}

// The start waits for the drivers below even when they finish it later; the request is then
// completed here once, with its final status, and not left marked pending.
TEST_F(NamingTest, AStartThatTheDevicesBelowFinishLaterIsCompletedOnce) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    SetBusAnswersLater(true);
    EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Linked("COM7"));
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
}

TEST_F(NamingTest, ASurpriseRemovedPortCannotBeOpened) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    PortFile file;
    EXPECT_EQ(file.Open("\\Device\\tarvelport0"), STATUS_DELETE_PENDING);
    EXPECT_EQ(ext->OpenCount, 0);
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(NamingTest, ADeviceWithoutPortNameFailsItsStart) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ext->DevicePowerState, PortPowerUnknown);
    EXPECT_EQ(PortLinks(), 0u);
    EXPECT_EQ(PoolOutstanding(PORT_TAG_INIT), 1u);  // only the device name
}

TEST_F(NamingTest, ARestartAfterAStopDoesNotNameThePortAgain) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpStopPending);
    ASSERT_EQ(SendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpStopped);
    SetPortName("COM8");  // a changed value is not read again
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Linked("COM7"));
    EXPECT_FALSE(Linked("COM8"));
    EXPECT_EQ(ext->PnpState, PnpStarted);
}

TEST_F(NamingTest, QueriesAndTheirCancelsMoveThePnpState) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpRemovePending);
    ASSERT_EQ(SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpStarted);
    const LONG previous = ext->PreviousPnpState;
    ASSERT_EQ(SendPnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);  // without a query: nothing
    EXPECT_EQ(ext->PnpState, PnpStarted);
    EXPECT_EQ(ext->PreviousPnpState, previous);
    ASSERT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpStarted);
}

TEST_F(NamingTest, SurpriseRemovalTakesNameValueAndInterfaceAwayOnce) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Interfaces(), 1u);
    ASSERT_EQ(SendPnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(ext->SurpriseRemoved);
    EXPECT_FALSE(Linked("COM7"));
    EXPECT_FALSE(SerialComm());
    EXPECT_EQ(Interfaces(), 0u);
    EXPECT_EQ(ext->PortLinkName.Buffer, nullptr);
    EXPECT_EQ(ext->InterfaceLinkName.Buffer, nullptr);

    // Another device's value published meanwhile under another name stays.
    tarvel::io::SetRegistryString(kSerialComm, "\\Device\\other", "COM9");
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_TRUE(tarvel::io::QueryRegistryValue(kSerialComm, "\\Device\\other"));
    EXPECT_EQ(tarvel::io::FindDevice("\\Device\\tarvelport0"), nullptr);
    EXPECT_EQ(physical->AttachedDevice, nullptr);
}

TEST_F(NamingTest, RemovalWithoutSurpriseRemovalTakesEverythingAway) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(tarvel::io::SymbolicLinkTarget("\\DosDevices\\COM7"));
    EXPECT_FALSE(SerialComm());
    EXPECT_EQ(Interfaces(), 0u);
    EXPECT_EQ(PoolOutstanding(PORT_TAG_INIT), 0u);
}

// PortName data that give no usable name fail the start and leave no link, no value and no buffer.
struct BadName {
    const char* what;
    std::vector<std::uint8_t> data;
    NTSTATUS status;
    friend void PrintTo(const BadName& name, std::ostream* out) { *out << name.what; }
};
class BadPortNameTest : public NamingTest, public ::testing::WithParamInterface<BadName> {};

TEST_P(BadPortNameTest, FailsTheStartWithoutATrace) {
    SetValue("PortName", REG_SZ, GetParam().data);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE), GetParam().status) << GetParam().what;
    EXPECT_EQ(PortLinks(), 0u);
    EXPECT_FALSE(SerialComm());
    EXPECT_EQ(ext->PortLinkName.Buffer, nullptr);
    EXPECT_EQ(PoolOutstanding(PORT_TAG_INIT), 1u);  // only the device name
}

INSTANTIATE_TEST_SUITE_P(
    Data, BadPortNameTest,
    ::testing::Values(BadName{"258 bytes", Utf16(std::string(129, 'C'), false), STATUS_OBJECT_NAME_INVALID},
                      BadName{"256 bytes, no terminator", Utf16(std::string(128, 'C'), false),
                              STATUS_OBJECT_NAME_INVALID},
                      BadName{"empty", Utf16(""), STATUS_OBJECT_NAME_INVALID},
                      // fits PortName's 256 bytes but not behind "\DosDevices\" in the link's 256
                      BadName{"120 characters", Utf16(std::string(120, 'C')), STATUS_BUFFER_TOO_SMALL}));

TEST_F(NamingTest, ANameStoredWithoutItsTerminatorIsTerminatedHere) {
    SetValue("PortName", REG_SZ, Utf16("COM9", false));
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Linked("COM9"));
    EXPECT_EQ(SerialComm()->data, Utf16("COM9"));
}

TEST_F(NamingTest, ALinkThatCannotBeMadeFailsTheStartAndTheNextStartTriesAgain) {
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    FailNth(FaultSite::Pool, 1, PORT_TAG_INIT);
    EXPECT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(Linked("COM7"));
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Linked("COM7"));
}

}  // namespace
}  // namespace porttest
