#include "bogus_requests.h"

#include <random>
#include <vector>

#include "campaign.h"
#include "tarvel/pnp.h"

namespace campaign {

namespace {

std::mt19937_64 gDraw;

// The first minor function past those the platform defines, per major function.
struct Kind {
    UCHAR major;
    UCHAR firstUnknown;
};
constexpr Kind kKinds[] = {
    {IRP_MJ_PNP, IRP_MN_DEVICE_ENUMERATED + 1},
    {IRP_MJ_POWER, IRP_MN_QUERY_POWER + 1},
    {IRP_MJ_SYSTEM_CONTROL, IRP_MN_REGINFO_EX + 1},
};

}  // namespace

void SeedBogusRequests(std::uint64_t seed) { gDraw.seed(Mix(seed, 0xB0605)); }

unsigned SendBogusRequests(unsigned count) {
    unsigned sent = 0;
    for (unsigned i = 0; i < count; ++i) {
        Sleep(std::uniform_int_distribution<k::VirtualTime>(0, 5)(gDraw) * k::kMillisecond);
        std::vector<tarvel::pnp::DeviceNode*> nodes = tarvel::pnp::Nodes();
        if (nodes.empty()) return sent;
        tarvel::pnp::DeviceNode* node = nodes[std::uniform_int_distribution<std::size_t>(0, nodes.size() - 1)(gDraw)];
        const Kind& kind = kKinds[std::uniform_int_distribution<std::size_t>(0, std::size(kKinds) - 1)(gDraw)];
        const auto minor = static_cast<UCHAR>(std::uniform_int_distribution<unsigned>(kind.firstUnknown, 0xFF)(gDraw));
        if (tarvel::pnp::SendUnknownRequest(node, kind.major, minor)) ++sent;
    }
    return sent;
}

}  // namespace campaign
