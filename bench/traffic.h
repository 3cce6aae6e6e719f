// Application traffic through the COM port, as an application moves bulk data: overlapped writes and
// reads of fixed chunk sizes kept outstanding for a stretch of virtual time, the far end sending the
// sequence (and taking what the adapter transmits), then a drain so that every byte is accounted for.
#pragma once

#include <cstdint>

#include "rig.h"

namespace tarvelbench {

struct TrafficOptions {
    bool send = false;                 // application writes to the far side
    bool receive = false;              // the far side sends, the application reads
    DWORD writeChunk = 1024;
    DWORD readChunk = 4096;
    int writeDepth = 2;                // writes kept outstanding
    int readDepth = 1;
    tarvel::kernel::VirtualTime warmUp = 50 * tarvel::kernel::kMillisecond;
    tarvel::kernel::VirtualTime window = tarvel::kernel::kSecond;  // measured stretch after the warm-up
    std::size_t farDepth = 4096;       // bytes kept waiting in the far transmitter while receiving
};

struct TrafficResult {
    double seconds = 0;                // length of the measured window
    std::uint64_t toFar = 0;           // bytes that reached the far side in the window
    std::uint64_t toApp = 0;           // bytes the application read in the window
    // After the drain: every byte either arrived or is counted lost.
    std::uint64_t written = 0, farArrived = 0, farSent = 0, appRead = 0;
    std::uint64_t fifoOverruns = 0;    // lost at the adapter's receive FIFO
    std::uint64_t lostInDriver = 0;    // reached the adapter's FIFO, never reached the application
    std::uint64_t lostToFar = 0;       // written by the application (completed), never left the UART
    std::uint64_t corrupted = 0;       // bytes out of sequence at either end
    double cpuSeconds = 0;             // host CPU time of the measured window
    DWORD writeError = 0, readError = 0;
};

TrafficResult RunTraffic(Rig& rig, const TrafficOptions& options);

// Host CPU time of this process so far, in seconds.
double CpuSeconds();

} // namespace tarvelbench
