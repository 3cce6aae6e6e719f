// Application threads that keep a port busy while PnP, power or fault events happen: a reader, a
// writer, a thread waiting on the event mask and one changing settings, all on one overlapped handle
// (a COM port is exclusive). Each request must end exactly once with a status the application can act
// on; Stop waits for every thread and reports a request that never ends as a finding.
#pragma once

#include <map>

#include "campaign.h"

namespace campaign {

class IoLoad {
public:
    IoLoad(HANDLE port, std::uint64_t seed, Tally& tally);
    ~IoLoad();
    IoLoad(const IoLoad&) = delete;
    IoLoad& operator=(const IoLoad&) = delete;

    void Start();
    // Asks the threads to stop, ends a pending wait-on-mask and waits for all of them; requests still
    // in flight after `graceMs` of virtual time are cancelled, and a thread that still does not end is
    // a finding.
    void Stop(DWORD graceMs = 3000);
    // Errors the requests ended with, by Win32 error code (0 = success).
    const std::map<DWORD, std::uint64_t>& Outcomes() const { return outcomes_; }

private:
    enum Role { Reader, Writer, Waiter, Settings, kRoles };
    void Body(Role role);
    void Count(BOOL ok);
    void Pause(std::mt19937_64& rng, unsigned maxMs);

    HANDLE port_;
    std::uint64_t seed_;
    Tally& tally_;
    bool stop_ = false;
    bool started_ = false;
    Threads threads_;
    std::map<DWORD, std::uint64_t> outcomes_;
};

}  // namespace campaign
