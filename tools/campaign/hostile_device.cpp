// A hostile adapter: while the application threads keep requests in flight, the device stalls its
// endpoints, NAKs for long stretches, refuses control transfers, sends packets longer or shorter than
// asked for (babble, buffer overruns, short and zero-length packets), drops off the bus between two
// packets of a transfer, or is unplugged. Half the adapters misbehave from their first packet on, while
// they are enumerated and started: random length faults, control data stages of the wrong length, a
// lying device or configuration descriptor, a disconnect after a few packets. The drivers must end
// every request and leave nothing behind; an install they cannot complete must fail cleanly (and only
// when the device gave them a reason); a fresh adapter must work afterwards.
//
// A device that drops off the bus goes silent at once; the bus learns of it as a hub does, a little
// later: the scenario unplugs it once it sees it detached.
#include "io_load.h"
#include "scenarios.h"
#include "tarvel/pnp.h"
#include "usb/serial/serial_adapter.h"

namespace campaign {

namespace {

namespace usb = tarvel::usb;
using Adapter = usb::SerialAdapter;
constexpr std::uint8_t kEndpoints[] = {Adapter::kBulkOut, Adapter::kBulkIn, Adapter::kStatusIn};
constexpr std::uint8_t kInEndpoints[] = {Adapter::kBulkIn, Adapter::kStatusIn};
constexpr std::uint8_t kDisconnectOn[] = {usb::kAnyEndpoint, Adapter::kBulkOut, Adapter::kBulkIn};

k::VirtualTime Ms(std::uint64_t n) { return static_cast<k::VirtualTime>(n) * k::kMillisecond; }

usb::MisbehaviourOdds RandomOdds(std::mt19937_64& rng) {
    auto upTo = [&](unsigned permille) { return static_cast<double>(rng() % (permille + 1)) / 1000.0; };
    usb::MisbehaviourOdds odds;
    odds.oversize = upTo(40);
    odds.shortPacket = upTo(80);
    odds.zeroLength = upTo(40);
    odds.drop = upTo(2);
    return odds;
}

// How an adapter misbehaves from its first packet on, chosen before it is plugged in.
struct FromTheStart {
    std::string what = "sound";
    bool lies = false;  // serves a lying descriptor (which counts as misbehaving whether or not it is read)
    std::function<void(Adapter&)> prepare;
};

FromTheStart ChooseFromTheStart(std::mt19937_64& rng) {
    FromTheStart f;
    const std::uint64_t seed = rng();
    switch (rng() % 10) {
    case 0: {
        const usb::MisbehaviourOdds odds = RandomOdds(rng);
        f.what = "random length faults and drops";
        f.prepare = [seed, odds](Adapter& a) { a.Misbehave(seed, odds); };
        break;
    }
    case 1: {
        const auto lie = static_cast<usb::DescriptorLie>(rng() % usb::kDescriptorLies);
        const auto which = static_cast<unsigned>(rng() % 3);
        f.what = "configuration descriptor lie " + std::to_string(static_cast<int>(lie)) + " about endpoint " + std::to_string(which);
        f.lies = true;
        f.prepare = [lie, which](Adapter& a) { a.ServeConfigurationDescriptor(usb::LyingConfigurationDescriptor(a.Blueprint(), lie, which)); };
        break;
    }
    case 2: {
        static constexpr std::uint8_t kLengths[] = {0, 1, 8, 17, 19, 64, 255};
        const std::uint8_t length = kLengths[rng() % std::size(kLengths)];
        const bool cut = rng() % 2;
        f.what = "device descriptor with bLength " + std::to_string(length) + (cut ? ", served short" : "");
        f.lies = true;
        f.prepare = [length, cut](Adapter& a) {
            std::vector<std::uint8_t> d = usb::BuildDeviceDescriptor(a.Blueprint());
            d[0] = length;
            if (cut) d.resize(std::min<std::size_t>(length, d.size()));
            a.ServeDeviceDescriptor(d);
        };
        break;
    }
    case 3: {
        const auto packets = 1 + static_cast<unsigned>(rng() % 40);
        f.what = "disconnect after " + std::to_string(packets) + " packets";
        f.prepare = [packets](Adapter& a) { a.DisconnectAfter(packets); };
        break;
    }
    case 4: {
        const auto bytes = static_cast<std::uint32_t>(rng() % 80);
        const auto count = 1 + static_cast<unsigned>(rng() % 3);
        const bool longer = rng() % 2;
        f.what = std::string("control data stages ") + (longer ? "longer by " : "cut to ") + std::to_string(bytes) +
                 " bytes, " + std::to_string(count) + " times";
        f.prepare = [bytes, count, longer](Adapter& a) {
            if (longer) a.OversizeIn(0, bytes + 1, count);
            else a.ShortIn(0, bytes % 18, count);
        };
        break;
    }
    default: break;  // a sound adapter: the faults come later, while it streams
    }
    return f;
}

// The device has dropped off the bus: after the hub's latency the bus hears of it. Mostly soon, now
// and then after a long while in which the drivers talk to a device that never answers.
bool NoticeDetached(m::Machine& machine, m::Adapter& adapter, std::mt19937_64& rng) {
    if (!adapter.Model().Detached()) return false;
    Sleep(rng() % 4 ? Ms(rng() % 20) : Ms(100 + rng() % 500));
    machine.Unplug(adapter);
    return true;
}

// One misbehaviour while the port streams; returns false once the device is off the bus.
bool Misbehave(m::Machine& machine, m::Adapter& adapter, std::mt19937_64& rng) {
    auto& model = adapter.Model();
    switch (rng() % 10) {
    case 0: model.StallEndpoint(kEndpoints[rng() % 3]); break;
    case 1: {
        const std::uint8_t ep = kEndpoints[rng() % 3];
        model.NakForever(ep, true);
        Sleep(Ms(10 + rng() % 500));
        model.NakForever(ep, false);
        break;
    }
    case 2: model.FailControlTransfers(1 + static_cast<unsigned>(rng() % 4)); break;
    case 3: Sleep(Ms(rng() % 20)); break;
    case 4:
        machine.Unplug(adapter);
        return false;
    case 5:  // babble past the packet size or overrun of the transfer's buffer
        model.OversizeIn(kInEndpoints[rng() % 2], 1 + static_cast<std::uint32_t>(rng() % 96), 1 + static_cast<unsigned>(rng() % 3));
        break;
    case 6:
        model.ShortIn(kInEndpoints[rng() % 2], static_cast<std::uint32_t>(rng() % 64), 1 + static_cast<unsigned>(rng() % 8));
        break;
    case 7:  // a stretch of random misbehaviour, then none (also none of what it started with)
        model.Misbehave(rng(), RandomOdds(rng));
        Sleep(Ms(10 + rng() % 300));
        model.Misbehave(0, {});
        break;
    case 8: {  // off the bus between two packets, likely of one multi-packet transfer
        model.DisconnectAfter(1 + static_cast<unsigned>(rng() % 48), kDisconnectOn[rng() % 3]);
        for (int i = 0; i < 50 && !model.Detached(); ++i) Sleep(Ms(1 + rng() % 5));
        if (!model.Detached()) model.DisconnectAfter(0);  // no traffic came: the device stays
        break;
    }
    case 9:  // every status report babbles for a while
        model.OversizeIn(Adapter::kStatusIn, 1 + static_cast<std::uint32_t>(rng() % 32), usb::kAlways);
        Sleep(Ms(5 + rng() % 100));
        model.ClearLengthFaults();
        break;
    }
    return !NoticeDetached(machine, adapter, rng);
}

// Every fault off: the device behaves from now on (a halt it already signalled stays until the host
// clears it, as on a real device).
void Behave(Adapter& model) {
    model.ClearLengthFaults();
    model.Misbehave(0, {});
    model.DisconnectAfter(0);
    model.FailControlTransfers(0);
    for (std::uint8_t ep : kEndpoints) model.NakForever(ep, false);
}

// Sends random bytes through the loopback plug and reads them back: through a device that only cuts
// its packets short, every byte must come back, in order.
void ProveLossless(m::Adapter& adapter, std::size_t size, std::mt19937_64& rng, const std::string& what, Tally& tally) {
    HANDLE port = OpenPort(adapter.ComName());
    CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE, what + ": does not open, error " + std::to_string(u::GetLastError()));
    CAMPAIGN_CHECK(ConfigurePort(port, 2000), what + ": settings refused");
    std::string sent(size, '\0');
    for (char& c : sent) c = static_cast<char>(rng());
    Overlapped write;
    if (!u::WriteFile(port, sent.data(), static_cast<DWORD>(size), nullptr, &write.ov))
        CAMPAIGN_CHECK(u::GetLastError() == ERROR_IO_PENDING, what + ": write refused, error " + std::to_string(u::GetLastError()));
    std::string got;
    while (got.size() < size) {
        std::string chunk(size - got.size(), '\0');
        Overlapped read;
        DWORD n = 0;
        if (!u::ReadFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), nullptr, &read.ov))
            CAMPAIGN_CHECK(u::GetLastError() == ERROR_IO_PENDING, what + ": read refused, error " + std::to_string(u::GetLastError()));
        CAMPAIGN_CHECK(Finish(port, read, &n, 5000, "lossless read"), what + ": read failed, error " + std::to_string(u::GetLastError()));
        ++tally.requests;
        if (n == 0) break;  // the read timed out: the rest never came
        got.append(chunk.data(), n);
    }
    DWORD written = 0;
    CAMPAIGN_CHECK(Finish(port, write, &written, 5000, "lossless write") && written == size,
                   what + ": write ended with " + std::to_string(written) + " of " + std::to_string(size) + " bytes");
    std::size_t same = 0;
    while (same < got.size() && got[same] == sent[same]) ++same;
    CAMPAIGN_CHECK(got == sent, what + ": " + std::to_string(got.size()) + " of " + std::to_string(size) +
                                    " bytes came back, the first " + std::to_string(same) + " as sent");
    CAMPAIGN_CHECK(u::CloseHandle(port), what + ": close failed");
    tally.requests += 4;
}

// Whether the device gave the drivers a reason to fail: it misbehaved, lies, or left the bus.
bool Provoked(m::Adapter& adapter, const FromTheStart& start) {
    return start.lies || adapter.Model().Misbehaviours() > 0 || adapter.Model().Detached();
}

}  // namespace

Tally RunHostileDevice(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 700));
    m::Machine machine(RandomMachine(plan.seed));
    for (unsigned cycle = 0; cycle < plan.cycles; ++cycle) {
        FromTheStart start = ChooseFromTheStart(rng);
        const std::string what = "hostile cycle " + std::to_string(cycle) + " (" + start.what + ")";
        m::AdapterOptions options;
        options.prepareModel = start.prepare;
        options.speed = rng() % 3 ? usb::Speed::Full : usb::Speed::High;
        m::Adapter& adapter = machine.Plug(options);
        const bool started = adapter.Started();
        bool plugged = !NoticeDetached(machine, adapter, rng);
        if (!started) {
            // A clean failure: reported as one, and only for a device that gave the drivers a reason.
            CAMPAIGN_CHECK(!NT_SUCCESS(adapter.InstallStatus()),
                           what + ": the stack did not start, yet the install reported success");
            CAMPAIGN_CHECK(Provoked(adapter, start),
                           what + ": install failed on a device that never misbehaved: status " + std::to_string(adapter.InstallStatus()));
        } else if (plugged) {
            HANDLE port = OpenPort(adapter.ComName());
            CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE || Provoked(adapter, start), what + ": open failed");
            if (port != INVALID_HANDLE_VALUE) {
                CAMPAIGN_CHECK(ConfigurePort(port) || Provoked(adapter, start), what + ": settings refused");
                IoLoad load(port, Mix(plan.seed, cycle), tally);
                load.Start();
                for (int i = 0; i < 4 && plugged; ++i) {
                    Sleep(Ms(rng() % 15));
                    plugged = !NoticeDetached(machine, adapter, rng) && Misbehave(machine, adapter, rng);
                }
                Sleep(Ms(rng() % 20));
                // A device that keeps NAKing leaves reads pending: Stop cancels what the grace period does not end.
                load.Stop();
                u::CloseHandle(port);
            }
            plugged = plugged && !NoticeDetached(machine, adapter, rng);
            if (plugged && !start.lies) {
                // Once the device behaves, a reopen (which resets the pipes) must find the port working,
                // also while the device cuts its packets short at random, which loses nothing. (A lie
                // about a packet size stays: the pipes were set up from it.)
                Behave(adapter.Model());
                adapter.Model().Misbehave(rng(), usb::MisbehaviourOdds{.shortPacket = 0.3, .zeroLength = 0.2});
                const std::string again = what + ": the same adapter behaving again (short packets only), reopened";
                ProvePortWorks(adapter, again, tally);
                ProveLossless(adapter, 256 + rng() % 3840, rng, again, tally);
            }
        }
        tally.faults += adapter.Model().Misbehaviours();
        // Whatever state the device is in, pulling it must take the stack down cleanly.
        machine.Unplug(adapter);
        tarvel::pnp::WaitForIdle();
        CAMPAIGN_CHECK(adapter.Gone(), what + ": the removal did not go through");
        CheckNothingLeftBehind(machine, what);
        m::Adapter& fresh = machine.Plug();
        ++tally.cycles;
        ProvePortWorks(fresh, what + ": a fresh adapter after the hostile one", tally);
        machine.Unplug(fresh);
        tarvel::pnp::WaitForIdle();
    }
    ShutdownClean(machine);
    return tally;
}

}  // namespace campaign
