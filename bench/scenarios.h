// The benchmark scenarios. Each runs whole machines of its own and returns its figures; `smoke` makes it
// short (the harness is checked, the figures mean little).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "figures.h"
#include "usb/model/usb_types.h"

namespace tarvelbench {

struct Scenario {
    std::string name;
    std::string what;
    std::function<std::vector<Figure>(bool smoke)> run;
};

std::vector<Scenario> ThroughputScenarios();
std::vector<Scenario> FastThroughputScenarios();
std::vector<Scenario> LineRateScenarios();
std::vector<Scenario> LatencyScenarios();
std::vector<Scenario> SmallWriteScenarios();

// The candidate settings a scenario runs: all of them, or only the one --candidate names; a smoke run
// takes only "defaults" unless --candidate names another.
void SelectCandidate(const std::string& label);
bool CandidateSelected(const std::string& label, bool smoke);

// Bulk budget of the bus in bytes per second, and (micro)frames per second.
double BulkBudget(tarvel::usb::Speed speed);
double FramesPerSecond(tarvel::usb::Speed speed);
const char* SpeedName(tarvel::usb::Speed speed);

} // namespace tarvelbench
