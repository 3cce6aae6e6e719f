// Serial line settings of the adapter's UART and the modem lines around it.
#pragma once

#include <cstdint>

namespace tarvel::usb {

enum class Parity : std::uint8_t { None, Odd, Even };

struct LineSettings {
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;  // 7 or 8
    std::uint8_t stopBits = 1;  // 1 or 2
    Parity parity = Parity::None;
    bool rtsCts = false;   // RTS driven by the receive FIFO, transmitter held while CTS is off
    bool xonXoff = false;  // XON/XOFF sent and obeyed
    std::uint8_t xonChar = 0x11;
    std::uint8_t xoffChar = 0x13;

    // Start bit, data bits, parity bit, stop bits: a byte takes this many bit times on the wire.
    unsigned BitsPerCharacter() const { return 1u + dataBits + (parity != Parity::None ? 1u : 0u) + stopBits; }
    bool operator==(const LineSettings&) const = default;
};

// The lines the adapter drives towards the far side.
struct OutputLines {
    bool rts = false;
    bool dtr = false;
    bool breakOn = false;
    bool operator==(const OutputLines&) const = default;
};

// The lines the far side drives towards the adapter.
struct InputLines {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
    bool operator==(const InputLines&) const = default;
};

}  // namespace tarvel::usb
