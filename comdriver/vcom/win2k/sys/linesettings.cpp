// The vendor commands that tell the device its settings, and the line settings in the form that
// the device's protocol variant (EndPointCaps) expects.
#include "tarvelport.h"

namespace {

// The rates of the line-settings list, by their index in it (variant 3).
constexpr ULONG RateList[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

// Variants 1 and 2: one settings byte.
constexpr UCHAR FORM_A_8_DATA_BITS = 0x04;
constexpr UCHAR FORM_A_2_STOP_BITS = 0x08;
constexpr UCHAR FORM_A_EVEN_PARITY = 0x10;
constexpr UCHAR FORM_A_ODD_PARITY = 0x20;
constexpr UCHAR FORM_A_RTS_CTS = 0x40;
constexpr UCHAR FORM_A_XON_XOFF = 0x80;

// Variant 3: rate index and a flags byte.
constexpr UCHAR FORM_B_8_DATA_BITS = 0x01;
constexpr UCHAR FORM_B_2_STOP_BITS = 0x02;
constexpr UCHAR FORM_B_EVEN_PARITY = 0x04;
constexpr UCHAR FORM_B_ODD_PARITY = 0x08;
constexpr UCHAR FORM_B_RTS_CTS = 0x10;
constexpr UCHAR FORM_B_XON_XOFF = 0x20;

BOOLEAN RtsCtsFlow(const SERIAL_HANDFLOW& Flow)
{
    return (Flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
}

NTSTATUS EncodeFormA(const PORT_EXTENSION* Ext, PUCHAR Settings)
{
    UCHAR Byte;
    switch (Ext->BaudRate) {
    case 9600: Byte = 0; break;
    case 19200: Byte = 1; break;
    case 38400: Byte = 2; break;
    case 115200: Byte = 3; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    switch (Ext->LineControl.WordLength) {
    case 8: Byte |= FORM_A_8_DATA_BITS; break;
    case 7: break;
    default: return STATUS_INVALID_PARAMETER;
    }
    switch (Ext->LineControl.StopBits) {
    case STOP_BITS_2: Byte |= FORM_A_2_STOP_BITS; break;
    case STOP_BIT_1: break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (Ext->LineControl.Parity == EVEN_PARITY) {
        Byte |= FORM_A_EVEN_PARITY;
    } else if (Ext->LineControl.Parity == ODD_PARITY) {
        Byte |= FORM_A_ODD_PARITY;
    }
    if (RtsCtsFlow(Ext->HandFlow) && (Ext->HandFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE)) {
        Byte |= FORM_A_RTS_CTS;
    }
    if ((Ext->HandFlow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) ==
        (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) {
        Byte |= FORM_A_XON_XOFF;
    }
    *Settings = Byte;
    return STATUS_SUCCESS;
}

NTSTATUS EncodeFormB(const PORT_EXTENSION* Ext, PUCHAR RateIndex, PUCHAR Flags)
{
    // A rate outside the list (accepted with NoBaudCheck) has no index: it is refused rather than
    // sent as the list's first rate.
    BOOLEAN Found = FALSE;
    for (UCHAR Index = 0; Index < sizeof(RateList) / sizeof(RateList[0]); Index++) {
        if (RateList[Index] == Ext->BaudRate) {
            *RateIndex = Index;
            Found = TRUE;
        }
    }
    if (!Found) {
        return STATUS_INVALID_PARAMETER;
    }

    UCHAR Byte = 0;
    if (Ext->LineControl.WordLength != 7) {
        Byte |= FORM_B_8_DATA_BITS;
    }
    if (Ext->LineControl.StopBits == STOP_BITS_2) {
        Byte |= FORM_B_2_STOP_BITS;
    }
    if (Ext->LineControl.Parity == EVEN_PARITY) {
        Byte |= FORM_B_EVEN_PARITY;
    } else if (Ext->LineControl.Parity == ODD_PARITY) {
        Byte |= FORM_B_ODD_PARITY;
    }
    if (RtsCtsFlow(Ext->HandFlow) || (Ext->HandFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE)) {
        Byte |= FORM_B_RTS_CTS;
    } else if (Ext->HandFlow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) {
        Byte |= FORM_B_XON_XOFF;
    }
    *Flags = Byte;
    return STATUS_SUCCESS;
}

} // namespace

VOID AcquireSettingsLock(PPORT_EXTENSION Ext) { AcquirePassiveLock(&Ext->SettingsLock); }
VOID ReleaseSettingsLock(PPORT_EXTENSION Ext) { ReleasePassiveLock(&Ext->SettingsLock); }

// Requests from several threads change their own lines at once: a plain read-modify-write of
// ModemControl would undo another's change, so each change is made under StatusLock.
VOID ChangeModemControl(PPORT_EXTENSION Ext, UCHAR Set, UCHAR Clear)
{
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->StatusLock, &Irql);
    WriteUCharNoFence(&Ext->ModemControl, (UCHAR)((Ext->ModemControl & ~Clear) | Set));
    KeReleaseSpinLock(&Ext->StatusLock, Irql);
}

NTSTATUS SendModemControl(PPORT_EXTENSION Ext)
{
    // Read as it is (changes are made under StatusLock): it holds every line change made before.
    UCHAR Payload[2] = {VCMD_MODEM_CONTROL, ReadUCharNoFence(&Ext->ModemControl)};
    return SendVendorCommand(Ext, Payload, sizeof(Payload));
}

NTSTATUS SendPortEnable(PPORT_EXTENSION Ext, UCHAR Enable)
{
    UCHAR Payload[2] = {VCMD_PORT_ENABLE, Enable};
    return SendVendorCommand(Ext, Payload, sizeof(Payload));
}

NTSTATUS SendFlowChars(PPORT_EXTENSION Ext)
{
    UCHAR Payload[3] = {VCMD_FLOW_CHARS, Ext->Chars.XonChar, Ext->Chars.XoffChar};
    return SendVendorCommand(Ext, Payload, sizeof(Payload));
}

NTSTATUS SendErrorChar(PPORT_EXTENSION Ext)
{
    UCHAR Payload[3] = {VCMD_ERROR_CHAR, (UCHAR)((Ext->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) ? 1 : 0),
                        Ext->Chars.ErrorChar};
    return SendVendorCommand(Ext, Payload, sizeof(Payload));
}

NTSTATUS SendLineSettings(PDEVICE_OBJECT DeviceObject)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    NTSTATUS Status;

    switch (Ext->EndPointCaps) {
    case 1:
    case 2: {
        UCHAR Payload[2] = {VCMD_LINE_SETTINGS, 0};
        Status = EncodeFormA(Ext, &Payload[1]);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Status = SendVendorCommand(Ext, Payload, sizeof(Payload));
        // Variant 2 devices need RTS raised for hardware flow control to work.
        if (Ext->EndPointCaps == 2 && (Payload[1] & FORM_A_RTS_CTS)) {
            ChangeModemControl(Ext, MODEM_CONTROL_RTS, 0);
            KeepFirstFailure(&Status, SendModemControl(Ext));
        }
        return Status;
    }
    case 3: {
        UCHAR Payload[3] = {VCMD_LINE_SETTINGS, 0, 0};
        Status = EncodeFormB(Ext, &Payload[1], &Payload[2]);
        if (NT_SUCCESS(Status)) {
            Status = SendVendorCommand(Ext, Payload, sizeof(Payload));
            KeepFirstFailure(&Status, SendErrorChar(Ext));
        }
        StartReceive(Ext);
        return Status;
    }
    default:
        // Variant 0 (and no other reaches here: AddDevice keeps EndPointCaps within 0 to 3):
        // the device takes no line settings.
        return STATUS_SUCCESS;
    }
}
