#include "tarvel/machine/com_names.h"

#include <algorithm>

#include "install.h"
#include "tarvel/io.h"

namespace tarvel::machine {

namespace {

bool Linked(const std::string& name) {
    const std::string wanted = setup::Lower(name);
    for (const std::string& link : io::DosDeviceNames())
        if (setup::Lower(link) == wanted) return true;
    return false;
}

} // namespace

bool ComNameArbiter::Held(const std::string& name) const {
    const std::string wanted = setup::Lower(name);
    return std::any_of(held_.begin(), held_.end(), [&](const std::string& h) { return setup::Lower(h) == wanted; });
}

std::string ComNameArbiter::Claim() {
    for (unsigned n = kFirstFree;; ++n) {
        std::string name = "COM" + std::to_string(n);
        if (Held(name) || Linked(name)) continue;
        held_.push_back(name);
        return name;
    }
}

bool ComNameArbiter::Reserve(const std::string& name) {
    if (Held(name)) return false;
    held_.push_back(name);
    return true;
}

void ComNameArbiter::Release(const std::string& name) {
    const std::string wanted = setup::Lower(name);
    std::erase_if(held_, [&](const std::string& h) { return setup::Lower(h) == wanted; });
}

} // namespace tarvel::machine
