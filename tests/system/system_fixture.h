// What the system tests share: a machine booted per test case, an application's overlapped requests
// on a COM port through the communications API, and virtual time passing on the application thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tarvel/machine/machine.h"
#include "tarvel/machine/request_names.h"
#include "tarvel/user/comm.h"
#include "tarvel/user/comports.h"

namespace systemtest {

namespace k = tarvel::kernel;
namespace m = tarvel::machine;
namespace u = tarvel::user;
namespace usb = tarvel::usb;

constexpr k::VirtualTime kMs = k::kMillisecond;

// One overlapped request with its own event.
struct Pending {
    u::OVERLAPPED ov{};
    DWORD bytes = 0;
    Pending() { ov.hEvent = u::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Pending() { u::CloseHandle(ov.hEvent); }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    bool Done() const { return static_cast<NTSTATUS>(ov.Internal) != STATUS_PENDING; }
    // Waits (virtual time passes) and returns the call's result; the error is in GetLastError.
    BOOL Wait(HANDLE file) { return u::GetOverlappedResult(file, &ov, &bytes, TRUE); }
};

// Lets virtual time pass on the application thread while everything else runs.
inline void RunFor(k::VirtualTime duration) {
    HANDLE never = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    u::WaitForSingleObject(never, static_cast<DWORD>(duration / kMs));
    u::CloseHandle(never);
}

// Expects an overlapped call to have been left in flight.
#define EXPECT_PENDING(call)                                                                                \
    do {                                                                                                     \
        EXPECT_FALSE(call);                                                                                  \
        EXPECT_EQ(u::GetLastError(), ERROR_IO_PENDING);                                                      \
    } while (0)

// An overlapped call that either finished at once or was left in flight.
#define ASSERT_ISSUED(call)                                                                                 \
    do {                                                                                                     \
        if (!(call)) {                                                                                       \
            ASSERT_EQ(u::GetLastError(), ERROR_IO_PENDING);                                                  \
        }                                                                                                    \
    } while (0)

inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

inline HANDLE OpenPort(const std::string& name) {
    return u::CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
}

// Line settings as an application sets them: the port's state with rate and framing changed.
inline bool SetLine(HANDLE port, DWORD baud, const char* framing = "n,8,1") {
    u::DCB dcb{};
    if (!u::GetCommState(port, &dcb)) return false;
    const std::string mode = std::to_string(baud) + "," + framing;
    return u::BuildCommDCBA(mode.c_str(), &dcb) && u::SetCommState(port, &dcb);
}

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override {
        if (machine && machine->Running()) {
            for (HANDLE h : handles) u::CloseHandle(h);
            const m::TeardownReport report = machine->Shutdown();
            for (const auto& finding : report.Findings()) ADD_FAILURE() << "left behind: " << finding;
        }
    }
    void Boot(m::MachineOptions options = {}) { machine = std::make_unique<m::Machine>(std::move(options)); }
    HANDLE Open(const std::string& name) {
        HANDLE h = OpenPort(name);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << ": error " << u::GetLastError();
        if (h != INVALID_HANDLE_VALUE) handles.push_back(h);
        return h;
    }
    void Close(HANDLE h) {
        std::erase(handles, h);
        EXPECT_TRUE(u::CloseHandle(h));
    }

    std::unique_ptr<m::Machine> machine;
    std::vector<HANDLE> handles;
};

} // namespace systemtest
