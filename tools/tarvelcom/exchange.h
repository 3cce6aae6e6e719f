// The test pattern's trip through the COM port: written in chunks, read back as it arrives, every byte
// compared with what was sent, and every serial event counted, all with overlapped requests on one
// application thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "tarvel/kernel.h"
#include "tarvel/user/comm.h"

namespace tarvelcom {

// Bytes in which every position shows where it belongs: a lost, doubled or reordered byte breaks the
// sequence at once. Printable text when the line uses XON/XOFF, which cannot carry its own two
// characters as data.
std::vector<std::uint8_t> TestPattern(std::size_t size, bool printable = false);

struct ExchangeResult {
    std::size_t sent = 0;
    std::size_t received = 0;
    std::optional<std::size_t> firstMismatch; // offset of the first byte that differs from the pattern
    tarvel::kernel::VirtualTime started = 0, finished = 0; // first write sent, last byte received
    std::map<DWORD, unsigned> events;          // EV_* bit -> how many waits reported it
    DWORD writeError = 0, readError = 0;       // the first failure of each kind (0: none)

    bool AllBack(std::size_t size) const { return received == size && sent == size && !firstMismatch; }
};

// Receives (done, total) whenever more of the pattern has come back.
using ProgressSink = std::function<void(std::size_t done, std::size_t total)>;

// Runs the exchange on an open port whose line settings and event mask are set. The read side gives
// up once the writes are done and nothing has arrived for quietMilliseconds.
ExchangeResult Exchange(HANDLE port, const std::vector<std::uint8_t>& pattern, DWORD quietMilliseconds,
                        const ProgressSink& progress);

// The events the exchange listens for.
constexpr DWORD kWatchedEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_RING |
                                 EV_RX80FULL | EV_ERR | EV_BREAK;

} // namespace tarvelcom
