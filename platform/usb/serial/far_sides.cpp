#include "usb/serial/far_sides.h"

#include <stdexcept>

namespace tarvel::usb {

void LoopbackPlug::ByteFromAdapter(VirtualTime at, std::uint8_t byte) { uart_->DeliverFromFar(at, byte); }

void LoopbackPlug::AdapterLinesChanged(VirtualTime at, OutputLines lines) {
    uart_->ApplyInputLinesAt(at, InputLines{lines.rts, lines.dtr, lines.dtr, false});
    uart_->ApplyFarBreakAt(at, lines.breakOn);
}

Uart& ScriptedPeer::Wire() {
    if (!uart_) throw std::logic_error("scripted peer is not plugged into an adapter");
    return *uart_;
}

void ScriptedPeer::Send(std::span<const std::uint8_t> bytes) { Wire().FarTransmit(bytes); }

void ScriptedPeer::Send(std::string_view text) {
    Send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void ScriptedPeer::SendWithParityError(std::span<const std::uint8_t> bytes) { Wire().FarTransmit(bytes, true); }
std::size_t ScriptedPeer::PendingToSend() const { return uart_ ? uart_->FarPending() : 0; }
void ScriptedPeer::SetLines(InputLines lines) { Wire().SetInputLines(lines); }
void ScriptedPeer::SetBreak(bool on) { Wire().SetFarBreak(on); }
void ScriptedPeer::SetObeysFlowControl(bool on) { Wire().SetFarObeysFlowControl(on); }

const std::vector<ScriptedPeer::Arrival>& ScriptedPeer::Arrivals() {
    Wire().Sync();
    return arrivals_;
}

std::vector<std::uint8_t> ScriptedPeer::ReceivedBytes() {
    std::vector<std::uint8_t> bytes;
    for (const auto& a : Arrivals()) bytes.push_back(a.byte);
    return bytes;
}

const std::vector<ScriptedPeer::LineChange>& ScriptedPeer::LineChanges() {
    Wire().Sync();
    return lineChanges_;
}

OutputLines ScriptedPeer::AdapterLines() { return Wire().Outputs(); }

void StreamPeer::Attach(Uart& uart) {
    uart_ = &uart;
    uart_->SetInputLines(lines_);
}

void StreamPeer::Inject(std::span<const std::uint8_t> bytes) {
    if (uart_) uart_->FarTransmit(bytes);
}

void StreamPeer::Pump() {
    if (uart_) uart_->Sync();
}

std::size_t StreamPeer::PendingToSend() {
    if (!uart_) return 0;
    uart_->Sync();
    return uart_->FarPending();
}

}  // namespace tarvel::usb
