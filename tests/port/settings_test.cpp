// The port device as AddDevice builds it: its tuning values from the hardware key (defaults,
// adjustments, values of any type), the serial defaults, the device names it picks, and a failed
// AddDevice taking back everything it made.
#include "bare_device.h"
#include "port_file.h"

namespace porttest {
namespace {

using namespace tarvel::kernel;

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) { return bytes; }

using SettingsTest = BareDeviceTest;

TEST_F(SettingsTest, AKeyWithoutValuesGivesTheDefaults) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext->EndPointCaps, 0u);
    EXPECT_EQ(ext->CtlPollPeriod, 10);
    EXPECT_EQ(ext->TxKickThreshold, 0u);
    EXPECT_EQ(ext->TxAllowNullPacket, 1u);
    EXPECT_EQ(ext->RxReqSize, 0u);
    EXPECT_EQ(ext->RxPollPeriod, 0);
    EXPECT_EQ(ext->RawDump, 0u);
    EXPECT_EQ(ext->TxAsync, 0u);
    EXPECT_EQ(ext->NoBaudCheck, 0u);
    EXPECT_EQ(ext->StatusPipe.Name[0], 0);  // no status pipe
}

TEST_F(SettingsTest, TheNewDeviceSitsOnTheStackAsASerialPort) {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext->LowerDevice, physical);
    EXPECT_EQ(port->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(port->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(port->Flags & DO_POWER_PAGABLE);  // taken over from the device below
    EXPECT_FALSE(port->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(ext->TxRing.Size, 4096u);
    EXPECT_EQ(Utf8(&ext->DeviceName), "\\Device\\tarvelport0");
    EXPECT_EQ(tarvel::io::EnabledInterfaces(kComPortInterface).size(), 1u);
}

struct KickCase {
    ULONG stored;
    ULONG expected;
};
class KickThresholdTest : public BareDeviceTest, public ::testing::WithParamInterface<KickCase> {};

TEST_P(KickThresholdTest, IsKeptBetweenOneAndHalfTheStagingBuffer) {
    SetDword("TxKickThreshold", GetParam().stored);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext->TxKickThreshold, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, KickThresholdTest,
                         ::testing::Values(KickCase{0, 1}, KickCase{1, 1}, KickCase{4095, 4095}, KickCase{4096, 2048},
                                           KickCase{100000, 2048}, KickCase{0xFFFFFFFF, 2048}));

TEST_F(SettingsTest, EveryValueIsReadIntoItsField) {
    SetDword("EndPointCaps", 3);
    SetDword("RxReqSize", 200);
    SetDword("RxPollPeriod", 20);
    SetDword("CtlPollPeriod", 0xFFFFFFFF);
    SetDword("RawDump", 1);
    SetDword("TxAsync", 1);
    SetDword("NoBaudCheck", 1);
    SetDword("TxAllowNullPacket", 0);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext->EndPointCaps, 3u);
    EXPECT_EQ(ext->RxReqSize, 200u);
    EXPECT_EQ(ext->RxPollPeriod, 20);
    EXPECT_EQ(ext->CtlPollPeriod, -1);
    EXPECT_EQ(ext->RawDump, 1u);
    EXPECT_EQ(ext->TxAsync, 1u);
    EXPECT_EQ(ext->NoBaudCheck, 1u);
    EXPECT_EQ(ext->TxAllowNullPacket, 0u);
    EXPECT_EQ(Utf8(&ext->StatusPipe.FileObject.FileName), "\\PIPE02");
}

TEST_F(SettingsTest, ValuesOfOtherTypesAreTakenByTheirFirstFourBytes) {
    SetValue("RxReqSize", REG_BINARY, Bytes({0x78, 0x56, 0x34, 0x12, 0xFF}));
    SetValue("RxPollPeriod", REG_SZ, Utf16("12"));  // '1', 0, '2', 0 -> 0x00320031
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext->RxReqSize, 0x12345678u);
    EXPECT_EQ(ext->RxPollPeriod, 0x00320031);
}

TEST_F(SettingsTest, AValueTooLongForTheQueryOrTooShortForANumberKeepsTheDefault) {
    SetValue("CtlPollPeriod", REG_BINARY, std::vector<std::uint8_t>(64, 0x11));
    SetValue("TxAllowNullPacket", REG_BINARY, Bytes({0, 0}));
    SetValue("RxPollPeriod", REG_BINARY, {});
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext->CtlPollPeriod, 10);
    EXPECT_EQ(ext->TxAllowNullPacket, 1u);
    EXPECT_EQ(ext->RxPollPeriod, 0);
}

// No protocol variant exists above 3: such a device is driven as one with the two data pipes.
TEST_F(SettingsTest, EndPointCapsAboveThreeIsTakenAsZero) {
    SetDword("EndPointCaps", 7);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(ext->EndPointCaps, 0u);
    EXPECT_EQ(ext->StatusPipe.Name[0], 0);
}

TEST_F(SettingsTest, TheFirstFreeDeviceNumberIsTaken) {
    for (const wchar_t* name : {L"\\Device\\tarvelport0", L"\\Device\\tarvelport1"}) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, reinterpret_cast<PCWSTR>(name));
        PDEVICE_OBJECT other;
        ASSERT_EQ(IoCreateDevice(&busDriver, 0, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
        extraDevices.push_back(other);
    }
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(&ext->DeviceName), "\\Device\\tarvelport2");
    EXPECT_EQ(tarvel::io::FindDevice("\\Device\\tarvelport2"), port);
}

TEST_F(SettingsTest, WithEveryDeviceNumberTakenNoDeviceIsMade) {
    for (int n = 0; n < 1000; n++) {
        std::string name = "\\Device\\tarvelport" + std::to_string(n);
        std::vector<WCHAR> wide(name.begin(), name.end());
        UNICODE_STRING text{static_cast<USHORT>(wide.size() * 2), static_cast<USHORT>(wide.size() * 2), wide.data()};
        PDEVICE_OBJECT other;
        ASSERT_EQ(IoCreateDevice(&busDriver, 0, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
        extraDevices.push_back(other);
    }
    EXPECT_EQ(AddDevice(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(physical->AttachedDevice, nullptr);
    EXPECT_TRUE(tarvel::io::EnabledInterfaces(kComPortInterface).empty());
}

// A failure after the device was made takes all of it back: nothing stays in the stack, no name,
// no interface, no pool.
TEST_F(SettingsTest, AFailedAddDeviceLeavesNothingBehind) {
    FailNth(FaultSite::Pool, 1, PORT_TAG_CIRC);  // the transmit ring
    EXPECT_EQ(AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    FailNth(FaultSite::Pool, 1, PORT_TAG_INIT);  // the device name's buffer
    EXPECT_EQ(AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(physical->AttachedDevice, nullptr);
    EXPECT_EQ(tarvel::io::FindDevice("\\Device\\tarvelport0"), nullptr);
    EXPECT_TRUE(tarvel::io::EnabledInterfaces(kComPortInterface).empty());
    EXPECT_EQ(PoolOutstanding(PORT_TAG_INIT) + PoolOutstanding(PORT_TAG_CIRC), 0u);

    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);  // and the next one works
    EXPECT_EQ(Utf8(&ext->DeviceName), "\\Device\\tarvelport0");
}

// Opened on a device below that names no packet size, the port takes 64 bytes, and rounds a receive
// size near 4 GB down to the last whole packet instead of wrapping past 32 bits. (The buffer of that
// size is not made: its allocation is failed here, which fails the open.)
TEST_F(SettingsTest, TransferSizesRoundToPacketsWithoutWrapping) {
    SetDword("RxReqSize", 0xFFFFFFF0);
    SetDword("TxKickThreshold", 100);
    SetPortName("COM7");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    FailNth(FaultSite::Pool, 1, PORT_TAG_CREA);
    PortFile file;
    EXPECT_EQ(file.Open("\\\\.\\COM7"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext->TxPacketSize, 64u);
    EXPECT_EQ(ext->RxPacketSize, 64u);
    EXPECT_EQ(ext->TxKickThreshold, 128u);
    EXPECT_EQ(ext->RxReqSize, 0xFFFFFFC0u);
    EXPECT_EQ(ext->OpenCount, 0);
}

}  // namespace
}  // namespace porttest
