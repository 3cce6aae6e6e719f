// The campaign's scenarios. Each runs one seed in the current (child) process and returns what it did;
// a failed check ends the process through Finding, a verifier stop or a sanitizer report aborts it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "campaign.h"

namespace campaign {

using ScenarioBody = std::function<Tally(const RunPlan&)>;

struct Scenario {
    std::string name;
    std::string summary;
    ScenarioBody run;
};

// PnP with I/O in flight: disable/enable, rebalance, surprise removal and re-plug.
Tally RunPnpCycles(const RunPlan& plan);
// Sleep and resume with I/O before, during and after; with and without remote wake-up.
Tally RunSleepCycles(const RunPlan& plan);
// Every serial control code, the private ones and random codes of the serial type, with boundary and
// random lengths and contents.
Tally RunControlCodeFuzz(const RunPlan& plan);
// Random sequences of open, close, read, write, purge, wait-mask, settings and cancel from several threads.
Tally RunSequenceFuzz(const RunPlan& plan);
// One phase (plan.phase) with one allocation attempt failed (faultSite/faultNth) or random failures
// (faultRate); with neither it counts the attempts of the phase (Tally::siteCalls).
Tally RunLowResources(const RunPlan& plan);
// A misbehaving adapter: stalls, long NAKs, refused control transfers, babble and wrong lengths, lying
// descriptors, a device that drops off the bus mid-transfer, unplugging.
Tally RunHostileDevice(const RunPlan& plan);

// Two operations at once from separate application threads (open/close, reads and writes, purge,
// settings, wait-on-mask, client suspend, disable/enable, rebalance, surprise removal, sleep, remote
// wake, a NAKing or stalling device, failing control transfers); the seed chooses the pairs.
Tally RunOperationPairs(const RunPlan& plan);
unsigned OperationPairs();  // how many pairs there are: that many cycles in a row cover each once

const std::vector<std::string>& LowResourcePhases();

}  // namespace campaign
