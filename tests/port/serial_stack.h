// The whole stack for the engines' tests: a booted machine, the USB-serial adapter model plugged into the
// emulated bus with a scripted peer on its line, the pipe driver and the port driver installed by the PnP
// manager from the package's INF (with hardware-key values a test overrides), and COM3 opened through the
// application side. Tests drive the port with overlapped requests and watch the engines' state in the
// port's device extension and the adapter's endpoints.
//
// Header-only, so that only the test programs that use it link the bus, the application side and setup.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "install.h"
#include "tarvel/kernel.h"
#include "tarvel/pnp.h"
#include "tarvel/user.h"
#include "tarvelport.h"
#include "usb/bus/usb_bus.h"
#include "usb/serial/far_sides.h"
#include "usb/serial/serial_adapter.h"

namespace porttest {

namespace k = tarvel::kernel;
namespace u = tarvel::user;
namespace usb = tarvel::usb;

constexpr k::VirtualTime kMs = k::kMillisecond;

// The adapter, recording what moves on its endpoints: the size and time of every bulk OUT packet it
// accepted (zero-length packets included), of every bulk IN packet that carried data, and of every
// status byte it handed out.
class RecordingAdapter : public usb::SerialAdapter {
public:
    struct Packet {
        k::VirtualTime at;
        std::size_t size;
    };
    using usb::SerialAdapter::SerialAdapter;

    std::vector<Packet> outPackets;
    std::vector<Packet> inPackets;
    std::vector<Packet> statusPackets;

    std::size_t ZeroLengthPackets() const {
        std::size_t n = 0;
        for (const Packet& p : outPackets) n += p.size == 0;
        return n;
    }

protected:
    usb::Handshake OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override {
        usb::Handshake h = usb::SerialAdapter::OnOut(endpoint, packet);
        if (endpoint == kBulkOut && h == usb::Handshake::Ack) outPackets.push_back({Now(), packet.size()});
        return h;
    }
    usb::Outcome OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) override {
        usb::Outcome o = usb::SerialAdapter::OnIn(endpoint, room);
        if (endpoint == kBulkIn && o.handshake == usb::Handshake::Ack && o.length > 0)
            inPackets.push_back({Now(), o.length});
        if (endpoint == kStatusIn && o.handshake == usb::Handshake::Ack && o.length > 0)
            statusPackets.push_back({Now(), o.length});
        return o;
    }
};

struct StackOptions {
    std::map<std::string, ULONG> settings;  // hardware-key values that replace the INF's
    k::BootOptions boot;
    usb::SerialAdapterOptions adapter;
    bool open = true;                       // open COM3 in SetUp
};

inline StackOptions Settings(std::map<std::string, ULONG> settings) {
    StackOptions options;
    options.settings = std::move(settings);
    return options;
}
inline StackOptions RandomPolicy(std::uint64_t seed) {
    StackOptions options;
    options.boot.policy = k::Policy::Random;
    options.boot.seed = seed;
    return options;
}
// The lines the peer drives towards the adapter.
inline usb::InputLines Lines(bool cts, bool dsr = false, bool dcd = false, bool ri = false) {
    usb::InputLines lines;
    lines.cts = cts;
    lines.dsr = dsr;
    lines.dcd = dcd;
    lines.ri = ri;
    return lines;
}

// One overlapped request of the application.
struct Request {
    u::OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer;
    bool issued = false;

    NTSTATUS Status() const { return static_cast<NTSTATUS>(ov.Internal); }
    std::size_t Information() const { return ov.InternalHigh; }
    bool Done() const { return Status() != STATUS_PENDING; }
};

class SerialStackTest : public ::testing::Test {
protected:
    void TearDown() override { Stop(); }

    void Start(StackOptions options = {}) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        k::Boot(options.boot);
        booted_ = true;
        // PORTTEST_TRACE=1 shows what the kernel did, for a failing test.
        if (std::getenv("PORTTEST_TRACE"))
            k::SetTraceSink([](const k::TraceEvent& e) {
                std::fprintf(stderr, "%12.7f %-12s %s\n", e.time / 1e7, e.thread.c_str(), e.what.c_str());
            });
        adapter_ = std::make_unique<RecordingAdapter>(usb::KernelClock(), options.adapter);
        adapter_->Connect(&peer);

        auto inf = tarvel::setup::Inf::Load(TARVEL_PACKAGE_INF);
        auto install = tarvel::setup::FindInstall(inf, "USB\\VID_1209&PID_0001");
        ASSERT_TRUE(install.has_value());
        tarvel::pnp::DeviceDescription description;
        description.functionService = install->functionService;
        description.upperFilters = install->upperFilters;
        description.hardwareIds = {install->hardwareId};
        description.friendlyName = install->description;
        description.serialPort = true;   // the COM-name arbiter gives it COM3
        for (const auto& value : install->hardwareKey) {
            tarvel::io::RegistryValue v;
            v.name = value.name;
            v.type = static_cast<ULONG>(value.type);
            v.data = value.data;
            auto o = options.settings.find(value.name);
            if (o != options.settings.end()) {
                v.type = REG_DWORD;
                v.data = Dword(o->second);
                options.settings.erase(o);
            }
            description.hardwareKey.push_back(v);
        }
        for (const auto& [name, value] : options.settings) {
            tarvel::io::RegistryValue v;
            v.name = name;
            v.type = REG_DWORD;
            v.data = Dword(value);
            description.hardwareKey.push_back(v);
        }

        NTSTATUS status = STATUS_UNSUCCESSFUL;
        busPort_ = usb::Plug(*adapter_, description, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        PDEVICE_OBJECT top = tarvel::pnp::TopOfStack(usb::Node(busPort_));
        ASSERT_NE(top, nullptr);
        port = top;
        ext = PortExtension(top);
        if (options.open) Open();
    }

    void Open() {
        com = u::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(com, INVALID_HANDLE_VALUE) << "error " << u::GetLastError();
    }

    void Close() {
        if (com != INVALID_HANDLE_VALUE) {
            u::CloseHandle(com);
            com = INVALID_HANDLE_VALUE;
        }
    }

    void Stop() {
        if (!booted_) return;
        Close();
        if (busPort_) {
            usb::Unplug(busPort_);
            tarvel::pnp::WaitForIdle();
            busPort_ = nullptr;
        }
        k::Shutdown();
        booted_ = false;
    }

    static std::vector<std::uint8_t> Dword(ULONG value) {
        std::vector<std::uint8_t> d(4);
        std::memcpy(d.data(), &value, 4);
        return d;
    }

    // --- Time ---
    static k::VirtualTime Now() { return k::Now(); }
    // Lets virtual time pass on the application thread (everything else runs meanwhile).
    static void RunFor(k::VirtualTime duration) {
        HANDLE never = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        u::WaitForSingleObject(never, static_cast<DWORD>(duration / kMs));
        u::CloseHandle(never);
    }
    static void RunUntil(k::VirtualTime at) {
        if (at > Now()) RunFor(at - Now());
    }

    // --- Requests ---
    // A request refused at once carries its status in the overlapped record all the same.
    static void Issue(Request& r, BOOL) { r.issued = true; }
    void Read(Request& r, std::size_t length) {
        r.buffer.assign(length, 0);
        DWORD n = 0;
        Issue(r, u::ReadFile(com, r.buffer.data(), static_cast<DWORD>(length), &n, &r.ov));
    }
    void Write(Request& r, std::vector<std::uint8_t> data) {
        r.buffer = std::move(data);
        DWORD n = 0;
        Issue(r, u::WriteFile(com, r.buffer.data(), static_cast<DWORD>(r.buffer.size()), &n, &r.ov));
    }
    // Device control with in and out buffers (out of outLength bytes, returned in r.buffer).
    void Control(Request& r, ULONG code, const void* in, std::size_t inLength, std::size_t outLength) {
        std::vector<std::uint8_t> input(static_cast<const std::uint8_t*>(in),
                                        static_cast<const std::uint8_t*>(in) + inLength);
        r.buffer.assign(outLength, 0);
        DWORD n = 0;
        Issue(r, u::DeviceIoControl(com, code, inLength ? input.data() : nullptr, static_cast<DWORD>(inLength),
                                    outLength ? r.buffer.data() : nullptr, static_cast<DWORD>(outLength), &n,
                                    &r.ov));
    }
    // Waits until the request has completed (virtual time moves as needed).
    void Wait(Request& r) {
        DWORD n = 0;
        u::GetOverlappedResult(com, &r.ov, &n, TRUE);
    }
    NTSTATUS ControlNow(ULONG code, const void* in, std::size_t inLength, std::vector<std::uint8_t>* out = nullptr,
                        std::size_t outLength = 0) {
        Request r;
        Control(r, code, in, inLength, outLength);
        Wait(r);
        if (out) {
            *out = r.buffer;
            out->resize(r.Information());
        }
        return r.Status();
    }
    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                     ULONG writeConstant = 0) {
        SERIAL_TIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_EQ(ControlNow(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t), STATUS_SUCCESS);
    }
    void SetBaudRate(ULONG baud) {
        ASSERT_EQ(ControlNow(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud), STATUS_SUCCESS);
    }
    void SetWaitMask(ULONG mask) {
        ASSERT_EQ(ControlNow(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
    }
    void Purge(ULONG mask) { ASSERT_EQ(ControlNow(IOCTL_SERIAL_PURGE, &mask, sizeof mask), STATUS_SUCCESS); }
    SERIAL_STATUS CommStatus() {
        std::vector<std::uint8_t> out;
        EXPECT_EQ(ControlNow(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &out, sizeof(SERIAL_STATUS)), STATUS_SUCCESS);
        SERIAL_STATUS s{};
        if (out.size() == sizeof s) std::memcpy(&s, out.data(), sizeof s);
        return s;
    }
    static ULONG Ulong(const Request& r) {
        ULONG v = 0;
        if (r.buffer.size() >= 4) std::memcpy(&v, r.buffer.data(), 4);
        return v;
    }

    // The bytes 0, 1, 2, ... from `first`, wrapping at 256: every position tells where it came from.
    static std::vector<std::uint8_t> Pattern(std::size_t n, std::size_t first = 0) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; i++) bytes[i] = static_cast<std::uint8_t>((first + i) * 7 + ((first + i) >> 8));
        return bytes;
    }

    RecordingAdapter& Adapter() { return *adapter_; }
    usb::Port* BusPort() { return busPort_; }

    usb::ScriptedPeer peer;
    HANDLE com = INVALID_HANDLE_VALUE;
    PDEVICE_OBJECT port = nullptr;
    PPORT_EXTENSION ext = nullptr;

private:
    bool booted_ = false;
    std::unique_ptr<RecordingAdapter> adapter_;
    usb::Port* busPort_ = nullptr;
};

}  // namespace porttest
