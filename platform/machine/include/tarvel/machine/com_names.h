// The COM-name arbiter: which COMn a newly installed port gets. COM1 and COM2 belong to the machine's
// own serial ports, so USB ports get the first free name from COM3 on. A name is free when no port
// holds it and no link of that name is in the namespace (another driver may have made one).
#pragma once

#include <string>
#include <vector>

namespace tarvel::machine {

class ComNameArbiter {
public:
    static constexpr unsigned kFirstFree = 3;

    // Takes the first free name.
    std::string Claim();
    // Takes a name chosen elsewhere (a PortName setting); false if a port already holds it.
    bool Reserve(const std::string& name);
    void Release(const std::string& name);
    bool Held(const std::string& name) const;

private:
    std::vector<std::string> held_;
};

} // namespace tarvel::machine
