#include "pnp/port_names.h"

#include <cctype>
#include <map>
#include <set>

namespace tarvel::pnp {

namespace {

constexpr unsigned kMachinePorts = 2; // COM1, COM2
constexpr unsigned kLastPort = 256;

struct Arbiter {
    std::map<std::string, unsigned> byInstance; // instance paths compare without case, as the platform's
    std::set<unsigned> taken;
};

Arbiter& TheArbiter() {
    static Arbiter arbiter;
    return arbiter;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

std::string ReservePortName(const std::string& instancePath) {
    Arbiter& arbiter = TheArbiter();
    const std::string key = Lower(instancePath);
    auto found = arbiter.byInstance.find(key);
    if (found != arbiter.byInstance.end()) return "COM" + std::to_string(found->second);
    for (unsigned number = kMachinePorts + 1; number <= kLastPort; ++number) {
        if (arbiter.taken.insert(number).second) {
            arbiter.byInstance.emplace(key, number);
            return "COM" + std::to_string(number);
        }
    }
    return {};
}

void ResetPortNames() { TheArbiter() = {}; }

} // namespace tarvel::pnp
