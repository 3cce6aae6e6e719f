// The host controller of one root port, in virtual time. Full-speed devices run on 1 ms frames with a
// bulk budget of 19 packets of 64 bytes per frame (1,216,000 bytes a second at most); high-speed devices
// on 125 us microframes with 13 packets of 512 bytes (53,248,000 bytes a second). At each (micro)frame's
// end the controller runs one control transfer and the interrupt and isochronous pipes whose interval
// falls on it. Bulk packets go in slots: the frame is cut into as many equal slots as its bulk budget,
// and in each slot the controller walks its bulk pipes round-robin, as a controller walks its
// asynchronous schedule again and again within a frame, until one moves a packet. So a transfer
// submitted at time t moves from the first slot that starts at or after t, in the same frame if budget
// is left there, and finishes (is handed back) at the end of the slot of its last packet. A NAK costs
// no slot (the token and handshake fit in the frame's slack beside the full budget) but takes the pipe
// out of the rest of the frame; data, STALL and an unanswered packet each use up the slot. Transfers
// of one pipe move in order.
//
// The controller says when it next has to run (NextDue): never while nothing is queued, and while every
// queued transfer waits on a NAK only when the device expects a change (NextActivity) or reports one
// (Activity). So idle time costs nothing. The change the device expected when it NAKed is kept with the
// pipe: another packet to the device (the status poll) may bring the device up to that time first, after
// which the device expects nothing more, yet its answer to the NAKed pipe has changed. So a NAKed pipe
// is tried again at the first slot (or interval frame) it may use once that time has come, as hardware
// would have tried it in every (micro)frame.
//
// IN data lands as on hardware: an IN token cannot ask for less than a packet, so the device answers
// with what it has, up to its packet size, into the controller's receive buffer, and only the bytes
// that fit the room left in the transfer reach its buffer. A packet that runs past them ends the
// transfer: past the endpoint's packet size with babble, else (past the buffer's end) with a data
// overrun; a device that does not answer at all ends it with "not responding". Each of these, as a
// STALL, halts the pipe.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "usb/hc/transfer.h"
#include "usb/model/device_model.h"
#include "usb/model/device_blueprint.h"

namespace tarvel::usb {

class HostController {
public:
    // How far past what it asked for the controller's receive buffer lets a device write.
    static constexpr std::uint32_t kWireSlack = 64;

    struct Pipe {
        EndpointBlueprint endpoint;
        std::uint32_t intervalFrames = 1;  // in (micro)frames for interrupt and isochronous pipes
        std::deque<Transfer*> queue;
        bool halted = false;   // host side: set by a STALL, cleared by a pipe reset
        bool waiting = false;  // the last try was NAKed
        std::optional<VirtualTime> changeAt;  // while waiting: the device's next change as it expected it at the NAK
        std::uint64_t idleUntilFrame = 0;  // bulk: a NAK keeps the pipe out until this (micro)frame
    };

    HostController(DeviceModel& device, const Clock& clock);

    VirtualTime FrameDuration() const { return frame_; }
    unsigned BulkPacketsPerFrame() const { return bulkBudget_; }
    std::uint64_t FrameAt(VirtualTime t) const { return static_cast<std::uint64_t>(t / frame_); }
    // The 1 ms frame counter the platform reports (GET_CURRENT_FRAME_NUMBER, isochronous start frames).
    std::uint32_t CurrentFrameNumber() const;

    Pipe* DefaultPipe() { return &control_; }
    // Pipes of a new configuration; the old ones must be empty (aborted) first.
    Pipe* AddPipe(const EndpointBlueprint& endpoint);
    void RemovePipes();
    bool Owns(const Pipe* pipe) const;

    // Queues a transfer. Returns kPending, or the failure with which it completes at once (halted pipe,
    // isochronous start frame out of range, bad request).
    std::int32_t Submit(Pipe* pipe, Transfer* transfer);
    // Takes every queued transfer off the pipe, each marked `status`.
    std::vector<Transfer*> Drain(Pipe* pipe, std::int32_t status);
    std::vector<Transfer*> DrainAll(std::int32_t status);
    // Takes one transfer off its queue (cancel); false if it is not queued any more.
    bool Remove(Transfer* transfer);
    void ClearHalt(Pipe* pipe);
    // The device changed (data, room, lines): waiting pipes are tried again.
    void Activity();
    void SetSuspended(bool suspended) { suspended_ = suspended; }

    // Runs what ends at the current time (the (micro)frame's periodic and control work at its end, the
    // bulk slot that has just ended) and returns what finished in it.
    std::vector<Transfer*> RunFrame();
    // When RunFrame has to be called next, or none.
    std::optional<VirtualTime> NextDue();

private:
    bool Eligible(const Transfer* t, std::uint64_t frame) const { return t->eligibleFrame <= frame; }
    void RunControl(std::uint64_t frame, std::vector<Transfer*>& done);
    void RunPeriodic(Pipe& pipe, std::uint64_t frame, std::vector<Transfer*>& done);
    void RunIso(Pipe& pipe, std::uint64_t frame, std::vector<Transfer*>& done);
    bool Packet(Pipe& pipe, Transfer* t, std::vector<Transfer*>& done);  // false: pipe done for this frame
    void Finish(Pipe& pipe, std::int32_t status, std::vector<Transfer*>& done);
    void Fail(Pipe& pipe, std::int32_t status, std::vector<Transfer*>& done);
    void Nak(Pipe& pipe);
    // While `pipe` waits on a NAK: the first time its answer may have changed, or none.
    std::optional<VirtualTime> ChangeAt(const Pipe& pipe);
    struct InPacket {
        Outcome answer{Handshake::Nak, 0};
        std::uint32_t landed = 0;                // bytes copied into the transfer's buffer
        std::int32_t overflow = usbd::kSuccess;  // babble or overrun when the packet did not fit
    };
    // One IN packet from the device into `room` bytes of the transfer's buffer at `offset`.
    InPacket TakeIn(const Pipe& pipe, Transfer* t, std::uint32_t offset, std::uint32_t room);
    // The receive buffer for `expected` bytes of IN data (and room to see a device overshoot them).
    std::span<std::uint8_t> Wire(std::uint32_t expected);
    // Copies what the device claimed to send, at most `asked` bytes, from the receive buffer into the
    // transfer's buffer at `offset`; returns the bytes copied.
    std::uint32_t Land(Transfer* t, std::uint32_t offset, std::uint32_t claimed, std::uint32_t asked);
    std::optional<std::uint64_t> DueFrame(const Pipe& pipe, std::uint64_t floor);
    std::uint64_t NextIntervalFrame(const Pipe& pipe, std::uint64_t from) const;

    // Bulk slots, numbered from boot: slot s is number s % budget of (micro)frame s / budget.
    VirtualTime SlotStart(std::uint64_t slot) const;
    std::uint64_t SlotAtOrAfter(VirtualTime t) const;  // the first slot that starts at or after t
    bool ReadyInSlot(const Pipe& pipe, std::uint64_t slot) const;
    void RunBulkSlot(std::uint64_t slot, std::vector<Transfer*>& done);
    std::optional<std::uint64_t> DueSlot(const Pipe& pipe, std::uint64_t floor);

    DeviceModel& device_;
    const Clock& clock_;
    VirtualTime frame_;
    unsigned bulkBudget_;
    std::uint32_t framesPerMs_;
    Pipe control_;
    std::vector<std::unique_ptr<Pipe>> pipes_;
    std::size_t roundRobin_ = 0;
    std::int64_t lastRun_ = -1;
    bool suspended_ = false;
    std::vector<std::uint8_t> scratch_;
    std::int64_t lastSlot_ = -1;
};

}  // namespace tarvel::usb
