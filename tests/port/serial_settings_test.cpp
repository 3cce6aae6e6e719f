// The serial settings requests on the whole stack: what the port answers, and what the adapter made
// of the vendor commands it received, in each protocol variant (EndPointCaps).
#include "port_file.h"
#include "serial_stack.h"

namespace porttest {
namespace {

using namespace tarvel::kernel;

// Stack options with hardware-key values and whether COM3 is opened at the start.
StackOptions With(std::map<std::string, ULONG> settings, bool open = true) {
    StackOptions options;
    options.settings = std::move(settings);
    options.open = open;
    return options;
}

using Bytes = std::vector<std::uint8_t>;

constexpr ULONG kGetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);

class SerialSettingsTest : public SerialStackTest {
protected:
    void Begin(ULONG endPointCaps, std::map<std::string, ULONG> more = {}) {
        more["EndPointCaps"] = endPointCaps;
        Start(With(more, false));
        ASSERT_EQ(file.Open(), STATUS_SUCCESS);
    }
    void TearDown() override {
        file.Close();
        SerialStackTest::TearDown();
    }
    std::size_t Commands() { return Adapter().AcceptedCommands().size(); }
    // The vendor commands the adapter accepted since `from`.
    std::vector<Bytes> CommandsSince(std::size_t from) {
        const auto& all = Adapter().AcceptedCommands();
        return {all.begin() + std::min(from, all.size()), all.end()};
    }
    NTSTATUS SetBaud(ULONG rate) { return file.Set(IOCTL_SERIAL_SET_BAUD_RATE, rate); }
    NTSTATUS SetLine(UCHAR stopBits, UCHAR parity, UCHAR wordLength) {
        SERIAL_LINE_CONTROL line{stopBits, parity, wordLength};
        return file.Set(IOCTL_SERIAL_SET_LINE_CONTROL, line);
    }
    NTSTATUS SetHandFlow(ULONG control, ULONG replace, LONG xon = 2048, LONG xoff = 512) {
        SERIAL_HANDFLOW flow{control, replace, xon, xoff};
        return file.Set(IOCTL_SERIAL_SET_HANDFLOW, flow);
    }

    PortFile file;
};

TEST_F(SerialSettingsTest, ARateOutsideTheListIsRefusedUnlessNoBaudCheck) {
    Begin(1);
    const auto before = Commands();
    EXPECT_EQ(SetBaud(57600), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    EXPECT_EQ(Commands(), before);

    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    EXPECT_EQ(CommandsSince(before), (std::vector<Bytes>{{VCMD_LINE_SETTINGS, 0x04}}));
    EXPECT_EQ(Adapter().Line().Settings().baud, 9600u);
}

TEST_F(SerialSettingsTest, WithNoBaudCheckAnUnencodableRateIsStoredButRefused) {
    Begin(1, {{"NoBaudCheck", 1}});
    const auto before = Commands();
    EXPECT_EQ(SetBaud(57600), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 57600u);
    EXPECT_EQ(Commands(), before);  // nothing the device could misread
}

TEST_F(SerialSettingsTest, Variant3SendsTheRateIndexAndTheErrorCharacter) {
    Begin(3);
    const auto before = Commands();
    ASSERT_EQ(SetBaud(76800), STATUS_SUCCESS);
    EXPECT_EQ(CommandsSince(before), (std::vector<Bytes>{{VCMD_LINE_SETTINGS, 7, 0x01}, {VCMD_ERROR_CHAR, 0, 0}}));
    EXPECT_EQ(Adapter().Line().Settings().baud, 76800u);

    ASSERT_EQ(SetLine(STOP_BITS_2, ODD_PARITY, 7), STATUS_SUCCESS);
    EXPECT_EQ(CommandsSince(before)[2], (Bytes{VCMD_LINE_SETTINGS, 7, 0x02 | 0x08}));
}

TEST_F(SerialSettingsTest, Variant1CannotEncode76800) {
    Begin(1);
    EXPECT_EQ(SetBaud(76800), STATUS_INVALID_PARAMETER);
}

TEST_F(SerialSettingsTest, LineControlIsCheckedThenSentAsOneSettingsByte) {
    Begin(1);
    EXPECT_EQ(SetLine(1, NO_PARITY, 8), STATUS_INVALID_PARAMETER);  // 1.5 stop bits
    EXPECT_EQ(SetLine(STOP_BIT_1, 3, 8), STATUS_INVALID_PARAMETER);  // mark parity
    EXPECT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 6), STATUS_INVALID_PARAMETER);
    const auto before = Commands();
    ASSERT_EQ(SetLine(STOP_BITS_2, EVEN_PARITY, 7), STATUS_SUCCESS);
    EXPECT_EQ(CommandsSince(before), (std::vector<Bytes>{{VCMD_LINE_SETTINGS, 0x18 | 3}}));  // 115200
    const auto& uart = Adapter().Line().Settings();
    EXPECT_EQ(uart.dataBits, 7);
    EXPECT_EQ(uart.stopBits, 2);
    EXPECT_EQ(uart.parity, usb::Parity::Even);
    auto line = file.Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    EXPECT_EQ(line.Parity, EVEN_PARITY);
    EXPECT_EQ(line.WordLength, 7);
}

TEST_F(SerialSettingsTest, Variant2RaisesRtsForHardwareFlowControl) {
    Begin(2);
    ASSERT_EQ(file.Do(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ModemControl() & 0x01, 0);
    const auto before = Commands();
    ASSERT_EQ(SetHandFlow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    EXPECT_EQ(CommandsSince(before),
              (std::vector<Bytes>{{VCMD_LINE_SETTINGS, 0x40 | 0x04 | 3}, {VCMD_MODEM_CONTROL, 0x03}}));
    EXPECT_EQ(Adapter().ModemControl() & 0x01, 0x01);
    EXPECT_TRUE(Adapter().Line().Settings().rtsCts);
}

TEST_F(SerialSettingsTest, Variant1SendsFlowControlWithoutTouchingRts) {
    Begin(1);
    ASSERT_EQ(file.Do(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    const auto before = Commands();
    ASSERT_EQ(SetHandFlow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
    EXPECT_EQ(CommandsSince(before), (std::vector<Bytes>{{VCMD_LINE_SETTINGS, 0x40 | 0x04 | 3}}));
    // RTS is now under handshake: the application may not drive it.
    EXPECT_EQ(file.Do(IOCTL_SERIAL_SET_RTS), STATUS_INVALID_PARAMETER);
}

TEST_F(SerialSettingsTest, BreakReachesOnlyAVariant2Device) {
    Begin(2);
    ASSERT_EQ(file.Do(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ModemControl(), 0x07);
    EXPECT_TRUE(Adapter().Line().Outputs().breakOn);
    ASSERT_EQ(file.Do(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ModemControl(), 0x03);
}

TEST_F(SerialSettingsTest, BreakOnOtherVariantsSucceedsAndChangesNothing) {
    for (ULONG caps : {1u, 3u}) {
        SCOPED_TRACE(caps);
        Begin(caps);
        const auto before = Commands();
        EXPECT_EQ(file.Do(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
        EXPECT_EQ(ext->ModemControl, 0x03);
        EXPECT_EQ(Commands(), before);
        file.Close();
        Stop();
    }
}

TEST_F(SerialSettingsTest, TimeoutsSelectTheReadMode) {
    Begin(1);
    struct Case {
        ULONG interval, multiplier, constant;
        NTSTATUS status;
        LONG mode;
    };
    const Case cases[] = {{MAXULONG, 0, 0, STATUS_SUCCESS, ReadModeImmediate},
                          {MAXULONG, MAXULONG, 100, STATUS_SUCCESS, ReadModeFirstByte},
                          {0, 0, 0, STATUS_SUCCESS, ReadModeNoTimeout},
                          {MAXULONG, 5, 0, STATUS_SUCCESS, ReadModeTimed},
                          {MAXULONG, MAXULONG, MAXULONG, STATUS_INVALID_PARAMETER, ReadModeTimed}};
    for (const Case& c : cases) {
        SERIAL_TIMEOUTS t{c.interval, c.multiplier, c.constant, 2, 100};
        EXPECT_EQ(file.Set(IOCTL_SERIAL_SET_TIMEOUTS, t), c.status);
        EXPECT_EQ(ext->ReadMode, c.mode) << c.interval << " " << c.multiplier << " " << c.constant;
    }
    auto stored = file.Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(stored.ReadTotalTimeoutMultiplier, 5u);  // the refused set stored nothing
    EXPECT_EQ(stored.WriteTotalTimeoutConstant, 100u);
}

TEST_F(SerialSettingsTest, HandFlowLimitsMustLieWithinTheReceiveQueue) {
    Begin(0);
    EXPECT_EQ(SetHandFlow(0, 0, 100, 4097), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(0, 0, 4097, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(0, 0, -1, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(0, 0, 100, -5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(0x80000000u, 0), STATUS_SUCCESS);  // an allowed high bit
    EXPECT_EQ(SetHandFlow(0x04, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(0, 0x20), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(SetHandFlow(0, 0, 1000, 300), STATUS_SUCCESS);
    auto flow = file.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.XonLimit, 1000);
    EXPECT_EQ(flow.XoffLimit, 300);
    EXPECT_EQ(RingHighLimit(ext), 1000u);
    EXPECT_EQ(RingLowRoom(ext), 300u);
}

TEST_F(SerialSettingsTest, DtrUnderHandshakeIsRefusedAndWithoutModemControlOnlyStored) {
    Begin(0);
    const auto before = Commands();
    ASSERT_EQ(file.Do(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    EXPECT_EQ(ext->ModemControl, MODEM_CONTROL_RTS);
    EXPECT_EQ(file.Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), (ULONG)SERIAL_RTS_STATE);
    EXPECT_EQ(Commands(), before);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_HANDSHAKE, 0), STATUS_SUCCESS);
    EXPECT_EQ(file.Do(IOCTL_SERIAL_SET_DTR), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ext->ModemControl, MODEM_CONTROL_RTS);
}

TEST_F(SerialSettingsTest, ModemControlRegisterDrivesTheLinesWhateverTheVariant) {
    Begin(0);
    ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_MODEM_CONTROL, ULONG{SERIAL_IOC_MCR_RTS}), STATUS_SUCCESS);
    EXPECT_EQ(Adapter().ModemControl(), 0x01);  // RTS on, DTR off
    EXPECT_FALSE(Adapter().Line().Outputs().dtr);
    EXPECT_EQ(file.Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), (ULONG)SERIAL_IOC_MCR_RTS);
    EXPECT_EQ(file.Get<ULONG>(IOCTL_SERIAL_GET_DTRRTS), (ULONG)SERIAL_RTS_STATE);
}

TEST_F(SerialSettingsTest, SpecialCharactersAreStoredAndSentAsTwoCommands) {
    Begin(0);
    ASSERT_EQ(SetHandFlow(0, SERIAL_ERROR_CHAR), STATUS_SUCCESS);
    const auto before = Commands();
    SERIAL_CHARS chars{0x1A, '?', 0, '\n', 0x11, 0x13};
    ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    EXPECT_EQ(CommandsSince(before), (std::vector<Bytes>{{VCMD_FLOW_CHARS, 0x11, 0x13}, {VCMD_ERROR_CHAR, 1, '?'}}));
    EXPECT_TRUE(Adapter().ErrorReplacement());
    EXPECT_EQ(Adapter().ErrorChar(), '?');
    auto stored = file.Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(stored.EventChar, '\n');
    EXPECT_EQ(stored.EofChar, 0x1A);
}

TEST_F(SerialSettingsTest, ASecondImmediateCharacterWaitsForTheFirst) {
    Begin(0);
    IO_STATUS_BLOCK first{};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    const UCHAR a = 'A', b = 'B';
    tarvel::io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = IOCTL_SERIAL_IMMEDIATE_CHAR;
    request.inputBuffer = &a;
    request.inputLength = 1;
    request.statusBlock = &first;
    request.event = &done;
    ASSERT_EQ(tarvel::io::SendFileRequest(file.File(), request), STATUS_PENDING);
    EXPECT_EQ(ext->CommStatus.AmountInOutQueue, 1u);
    EXPECT_EQ(file.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, b), STATUS_INVALID_PARAMETER);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(first.Status, STATUS_SUCCESS);
    EXPECT_EQ(first.Information, 0u); // no output: the byte written below is not output of this request
    EXPECT_EQ(ext->CommStatus.AmountInOutQueue, 0u);
    EXPECT_EQ(file.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, b), STATUS_SUCCESS);
    RunFor(20 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), (Bytes{'A', 'B'}));
}

TEST_F(SerialSettingsTest, PropertiesReportTheQueueSizes) {
    Begin(0);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, 63).status, STATUS_INVALID_PARAMETER);
    SERIAL_QUEUE_SIZE sizes{8192, 1000};
    ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, sizes), STATUS_SUCCESS);
    IoResult r = file.Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, 64);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.output.size(), 64u);
    SERIAL_COMMPROP p;
    std::memcpy(&p, r.output.data(), sizeof p);
    EXPECT_EQ(p.PacketLength, 64);
    EXPECT_EQ(p.PacketVersion, 2);
    EXPECT_EQ(p.MaxBaud, (ULONG)SERIAL_BAUD_115200);
    EXPECT_EQ(p.SettableBaud, 0x00026B60u);
    EXPECT_EQ(p.SettableStopParity, 0x0705);
    EXPECT_EQ(p.CurrentRxQueue, 8192u);
    EXPECT_EQ(p.CurrentTxQueue, 1000u);
}

TEST_F(SerialSettingsTest, GrowingTheReceiveQueueKeepsWhatHasArrived) {
    Begin(0);
    peer.Send(Pattern(100));
    RunFor(300 * kMs);  // 100 bytes take about 104 ms at 9600 baud
    ASSERT_EQ(ext->RxRing.Count, 100u);
    SERIAL_QUEUE_SIZE grow{8192, 4096};
    ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, grow), STATUS_SUCCESS);
    EXPECT_EQ(ext->RxRing.Size, 8192u);
    EXPECT_EQ(ext->InQueueSize, 8192u);
    EXPECT_FALSE(ext->RxStopped);  // reception goes on
    SERIAL_QUEUE_SIZE shrink{1024, 4096};
    ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, shrink), STATUS_SUCCESS);
    EXPECT_EQ(ext->RxRing.Size, 8192u);
    std::vector<std::uint8_t> data(200);
    EXPECT_EQ(file.Read(data).Status, STATUS_SUCCESS);
    EXPECT_EQ(data, Pattern(100));
}

// A queue size the machine cannot hold fails with the pool's status and leaves the queue as it was.
TEST_F(SerialSettingsTest, AReceiveQueueLargerThanThePoolIsRefused) {
    Begin(0);
    SERIAL_QUEUE_SIZE huge{0xB3BF0E3D, 4096};
    EXPECT_EQ(file.Set(IOCTL_SERIAL_SET_QUEUE_SIZE, huge), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext->RxRing.Size, 4096u);
    EXPECT_EQ(ext->InQueueSize, 4096u);
    EXPECT_FALSE(ext->RxStopped);
    peer.Send(Pattern(10));
    RunFor(30 * kMs);
    std::vector<std::uint8_t> data(10);
    EXPECT_EQ(file.Read(data).Status, STATUS_SUCCESS);
    EXPECT_EQ(data, Pattern(10));
}

TEST_F(SerialSettingsTest, ShortBuffersAndUnknownCodesAreRefused) {
    Begin(0);
    const ULONG rate = 9600;
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &rate, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &rate, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, 15).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 2).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_PURGE, &rate, 2).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Do(kGetCommConfig), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(file.Ioctl(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, 4).Ulong(), 0u);
    for (ULONG code : {IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF,
                       IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_SET_FIFO_CONTROL}) {
        EXPECT_EQ(file.Do(code), STATUS_SUCCESS) << std::hex << code;
    }
}

TEST_F(SerialSettingsTest, PipeResetsPassThroughToThePipeDriver) {
    Begin(0);
    EXPECT_EQ(file.Do(IOCTL_PORT_RESET_RX_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(file.Do(IOCTL_PORT_RESET_TX_PIPE), STATUS_SUCCESS);
    std::vector<std::uint8_t> data(4);
    peer.Send(Pattern(4));
    RunFor(20 * kMs);
    EXPECT_EQ(file.Read(data).Status, STATUS_SUCCESS);  // reception still works
}

// The settings faults that an application meets, under the sequential policy (seed 0) and eight seeds of
// the random one; each test goes through the protocol variants it concerns.
class SettingsFaultTest : public SerialSettingsTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    void BeginVariant(ULONG endPointCaps, std::map<std::string, ULONG> more = {}) {
        file.Close();
        Stop();
        more["EndPointCaps"] = endPointCaps;
        StackOptions options = GetParam() ? RandomPolicy(GetParam()) : StackOptions{};
        options.settings = more;
        options.open = false;
        Start(options);
        ASSERT_EQ(file.Open(), STATUS_SUCCESS);
    }
};

// SetCommState sends the special characters before the handflow, so the error-replacement command of
// the characters carries the old replacement bit; the handflow request tells the device the new one.
TEST_P(SettingsFaultTest, OneSetCommStateGivesTheDeviceTheRequestedErrorReplacement) {
    for (ULONG variant : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(::testing::Message() << "EndPointCaps " << variant);
        BeginVariant(variant);
        ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
        SERIAL_CHARS chars{0, '?', 0, 0, 0x11, 0x13};
        ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR), STATUS_SUCCESS);
        EXPECT_TRUE(Adapter().ErrorReplacement());
        EXPECT_EQ(Adapter().ErrorChar(), '?');
        ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
        ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
        EXPECT_FALSE(Adapter().ErrorReplacement());
    }
}

// The properties offer exactly the rates that SET_BAUD_RATE then takes.
TEST_P(SettingsFaultTest, PropertiesOfferExactlyTheRatesThePortCanSet) {
    const std::pair<ULONG, ULONG> bits[] = {{600, SERIAL_BAUD_600},     {1200, SERIAL_BAUD_1200},
                                            {2400, SERIAL_BAUD_2400},   {4800, SERIAL_BAUD_4800},
                                            {9600, SERIAL_BAUD_9600},   {19200, SERIAL_BAUD_19200},
                                            {38400, SERIAL_BAUD_38400}, {57600, SERIAL_BAUD_57600},
                                            {115200, SERIAL_BAUD_115200}};
    for (ULONG variant : {0u, 1u, 2u, 3u}) {
        for (ULONG noBaudCheck : {0u, 1u}) {
            SCOPED_TRACE(::testing::Message() << "EndPointCaps " << variant << ", NoBaudCheck " << noBaudCheck);
            BeginVariant(variant, {{"NoBaudCheck", noBaudCheck}});
            const auto p = file.Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
            EXPECT_EQ(p.MaxBaud, (ULONG)SERIAL_BAUD_115200);
            for (const auto& [rate, bit] : bits) {
                EXPECT_EQ(SetBaud(rate) == STATUS_SUCCESS, (p.SettableBaud & (bit | SERIAL_BAUD_USER)) != 0) << rate << " baud";
            }
            EXPECT_EQ((p.SettableBaud & SERIAL_BAUD_USER) != 0, variant == 0 && noBaudCheck)
                << "any rate is taken only where nothing has to encode it";
        }
    }
}

// Open raises DTR and RTS; the handflow record says so, so that the usual GetCommState, change the
// rate, SetCommState keeps the lines on.
TEST_P(SettingsFaultTest, AfterOpenTheHandFlowShowsTheLinesOpenRaised) {
    BeginVariant(1);
    const auto flow = file.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.ControlHandShake & SERIAL_DTR_MASK, (ULONG)SERIAL_DTR_CONTROL);
    EXPECT_EQ(flow.FlowReplace & SERIAL_RTS_MASK, (ULONG)SERIAL_RTS_CONTROL);
    ASSERT_EQ(file.Set(IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
    EXPECT_TRUE(Adapter().Line().Outputs().dtr);
    EXPECT_TRUE(Adapter().Line().Outputs().rts);
}

// A request made of several commands fails with the first that the device refused; the setting stays
// stored.
TEST_P(SettingsFaultTest, TheFirstRefusedCommandIsTheRequestsStatus) {
    BeginVariant(3);
    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    Adapter().FailControlTransfers(1);   // the line settings; the error character that follows is taken
    EXPECT_FALSE(NT_SUCCESS(SetBaud(19200)));
    EXPECT_EQ(file.Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 19200u);

    BeginVariant(2);
    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    Adapter().FailControlTransfers(1);   // the line settings; the modem control that follows is taken
    EXPECT_FALSE(NT_SUCCESS(SetHandFlow(SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE)));
    EXPECT_EQ(file.Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW).ControlHandShake, (ULONG)SERIAL_CTS_HANDSHAKE);

    BeginVariant(1);
    Adapter().FailControlTransfers(1);   // the flow characters; the error character that follows is taken
    SERIAL_CHARS chars{0, '?', 0, 0, 0x11, 0x13};
    EXPECT_FALSE(NT_SUCCESS(file.Set(IOCTL_SERIAL_SET_CHARS, chars)));
    EXPECT_EQ(file.Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS).ErrorChar, '?');
}

// With NoBaudCheck a rate outside the list is stored, but variant 3 has no index for it: it is refused,
// not sent as 600 baud.
TEST_P(SettingsFaultTest, AnUnencodableRateIsNotSentAsTheFirstOfTheList) {
    BeginVariant(3, {{"NoBaudCheck", 1}});
    ASSERT_EQ(SetBaud(9600), STATUS_SUCCESS);
    const auto before = Commands();
    EXPECT_EQ(SetBaud(57600), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file.Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 57600u);
    for (const auto& command : CommandsSince(before)) EXPECT_NE(command[0], VCMD_LINE_SETTINGS);
    EXPECT_EQ(Adapter().Line().Settings().baud, 9600u);
}

// The immediate character and the pipe resets pass the device's refusal up unchanged.
TEST_P(SettingsFaultTest, ImmediateCharacterAndPipeResetsReportTheDevicesRefusal) {
    BeginVariant(0);
    Adapter().StallEndpoint(RecordingAdapter::kBulkOut);
    const UCHAR c = 'X';
    EXPECT_FALSE(NT_SUCCESS(file.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, c)));
    EXPECT_EQ(ext->CommStatus.AmountInOutQueue, 0u);
    EXPECT_FALSE(ext->CommStatus.WaitForImmediate);

    Adapter().FailControlTransfers(1);   // the clear of the halt
    EXPECT_FALSE(NT_SUCCESS(file.Do(IOCTL_PORT_RESET_TX_PIPE)));
    EXPECT_EQ(file.Do(IOCTL_PORT_RESET_TX_PIPE), STATUS_SUCCESS);
    EXPECT_FALSE(Adapter().EndpointHalted(RecordingAdapter::kBulkOut)) << "the transmit pipe was reset";
    EXPECT_EQ(file.Set(IOCTL_SERIAL_IMMEDIATE_CHAR, c), STATUS_SUCCESS);

    // The receive engine meets the stall too and may clear it on its own: every control transfer fails
    // until the reset has answered, so the reset's own clear is refused whichever comes first.
    Adapter().StallEndpoint(RecordingAdapter::kBulkIn);
    Adapter().FailControlTransfers(tarvel::usb::kAlways);
    EXPECT_FALSE(NT_SUCCESS(file.Do(IOCTL_PORT_RESET_RX_PIPE)));
    Adapter().FailControlTransfers(0);
    EXPECT_EQ(file.Do(IOCTL_PORT_RESET_RX_PIPE), STATUS_SUCCESS);
    EXPECT_FALSE(Adapter().EndpointHalted(RecordingAdapter::kBulkIn)) << "the receive pipe was reset";
}

INSTANTIATE_TEST_SUITE_P(Seeds, SettingsFaultTest, ::testing::Range<std::uint64_t>(0, 9));

}  // namespace
}  // namespace porttest
