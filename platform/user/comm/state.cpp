// GetCommState and SetCommState: the DCB as the port's four settings records.
//
// GetCommState sends IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS and
// IOCTL_SERIAL_GET_HANDFLOW, in this order, and builds the DCB from the answers.
//
// SetCommState, as the platform's library does it:
//   1. the current state, read as GetCommState reads it (the four GET requests), to put back on failure;
//   2. IOCTL_SERIAL_SET_BAUD_RATE;
//   3. IOCTL_SERIAL_SET_RTS or IOCTL_SERIAL_CLR_RTS when fRtsControl is RTS_CONTROL_ENABLE or _DISABLE
//      (nothing for handshake and toggle, where the driver moves RTS);
//   4. IOCTL_SERIAL_SET_DTR or IOCTL_SERIAL_CLR_DTR likewise for fDtrControl;
//   5. IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW.
// A driver refuses SET_RTS/SET_DTR while the handshake still in force drives that line; such a refusal
// is not final: the request is sent again once the new SERIAL_HANDFLOW has taken the line out of
// handshake. Any other failure stops the sequence, the four records read in step 1 are sent back
// (their own failures ignored) and the call fails with the first failure's error.
#include "serial_request.h"

namespace tarvel::user {

namespace {

struct SerialState {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handflow;
};

BOOL ReadState(HANDLE file, SerialState* state) {
    return comm::GetRecord(file, IOCTL_SERIAL_GET_BAUD_RATE, &state->baud) &&
           comm::GetRecord(file, IOCTL_SERIAL_GET_LINE_CONTROL, &state->line) &&
           comm::GetRecord(file, IOCTL_SERIAL_GET_CHARS, &state->chars) &&
           comm::GetRecord(file, IOCTL_SERIAL_GET_HANDFLOW, &state->handflow);
}

void RestoreState(HANDLE file, const SerialState& state) {
    const DWORD error = GetLastError();
    comm::SetRecord(file, IOCTL_SERIAL_SET_BAUD_RATE, state.baud);
    comm::SetRecord(file, IOCTL_SERIAL_SET_LINE_CONTROL, state.line);
    comm::SetRecord(file, IOCTL_SERIAL_SET_CHARS, state.chars);
    comm::SetRecord(file, IOCTL_SERIAL_SET_HANDFLOW, state.handflow);
    SetLastError(error);
}

SERIAL_HANDFLOW HandflowOf(const DCB& dcb) {
    SERIAL_HANDFLOW h{};
    h.ControlHandShake = dcb.fDtrControl & SERIAL_DTR_MASK;
    if (dcb.fOutxCtsFlow) h.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) h.ControlHandShake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) h.ControlHandShake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) h.ControlHandShake |= SERIAL_ERROR_ABORT;
    h.FlowReplace = static_cast<ULONG>(dcb.fRtsControl) << 6; // RTS_CONTROL_* are SERIAL_RTS_MASK >> 6
    if (dcb.fOutX) h.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) h.FlowReplace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) h.FlowReplace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) h.FlowReplace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) h.FlowReplace |= SERIAL_XOFF_CONTINUE;
    h.XonLimit = dcb.XonLim;
    h.XoffLimit = dcb.XoffLim;
    return h;
}

void FillDcb(const SerialState& s, DCB* dcb) {
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->fBinary = 1; // the platform has no other mode
    dcb->fParity = s.line.Parity != NOPARITY;
    const ULONG control = s.handflow.ControlHandShake, flow = s.handflow.FlowReplace;
    dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDtrControl = control & SERIAL_DTR_MASK;
    dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb->fTXContinueOnXoff = (flow & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (flow & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (flow & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (flow & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (flow & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = (flow & SERIAL_RTS_MASK) >> 6;
    // The limits are 16-bit in the DCB; a driver's larger value reads as the largest the DCB holds.
    dcb->XonLim = static_cast<WORD>(s.handflow.XonLimit > 0xFFFF ? 0xFFFF : s.handflow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(s.handflow.XoffLimit > 0xFFFF ? 0xFFFF : s.handflow.XoffLimit);
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
}

// A line request for steps 3 and 4: which code, and whether the old handshake may have refused it.
struct LineRequest {
    DWORD code = 0;
    bool heldByOldHandshake = false;
};

LineRequest RtsRequest(const DCB& dcb, const SERIAL_HANDFLOW& old) {
    const bool handshake = (old.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) return {IOCTL_SERIAL_SET_RTS, handshake};
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) return {IOCTL_SERIAL_CLR_RTS, handshake};
    return {};
}

LineRequest DtrRequest(const DCB& dcb, const SERIAL_HANDFLOW& old) {
    const bool handshake = (old.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE) return {IOCTL_SERIAL_SET_DTR, handshake};
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE) return {IOCTL_SERIAL_CLR_DTR, handshake};
    return {};
}

} // namespace

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SerialState state{};
    if (!ReadState(file, &state)) return FALSE;
    FillDcb(state, dcb);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    // DTR has no fourth mode; a DCB that names one is refused before anything is sent.
    if (dcb == nullptr || dcb->fDtrControl > DTR_CONTROL_HANDSHAKE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SerialState old{};
    if (!ReadState(file, &old)) return FALSE;

    const SERIAL_BAUD_RATE baud{dcb->BaudRate};
    const SERIAL_LINE_CONTROL line{dcb->StopBits, dcb->Parity, dcb->ByteSize};
    const SERIAL_CHARS chars{static_cast<UCHAR>(dcb->EofChar), static_cast<UCHAR>(dcb->ErrorChar), 0,
                             static_cast<UCHAR>(dcb->EvtChar), static_cast<UCHAR>(dcb->XonChar),
                             static_cast<UCHAR>(dcb->XoffChar)};
    const SERIAL_HANDFLOW handflow = HandflowOf(*dcb);

    auto fail = [&] {
        RestoreState(file, old);
        return FALSE;
    };
    if (!comm::SetRecord(file, IOCTL_SERIAL_SET_BAUD_RATE, baud)) return fail();
    LineRequest again[2];
    unsigned retries = 0;
    for (const LineRequest& request : {RtsRequest(*dcb, old.handflow), DtrRequest(*dcb, old.handflow)}) {
        if (request.code == 0 || comm::SerialRequest(file, request.code)) continue;
        if (!request.heldByOldHandshake || GetLastError() != ERROR_INVALID_PARAMETER) return fail();
        again[retries++] = request;
    }
    if (!comm::SetRecord(file, IOCTL_SERIAL_SET_LINE_CONTROL, line) ||
        !comm::SetRecord(file, IOCTL_SERIAL_SET_CHARS, chars) ||
        !comm::SetRecord(file, IOCTL_SERIAL_SET_HANDFLOW, handflow))
        return fail();
    for (unsigned i = 0; i < retries; ++i)
        if (!comm::SerialRequest(file, again[i].code)) return fail();
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace tarvel::user
