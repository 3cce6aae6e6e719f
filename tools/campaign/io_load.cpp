#include "io_load.h"

namespace campaign {

namespace {
const char* const kRoleNames[] = {"app.reader", "app.writer", "app.waiter", "app.settings"};
}

IoLoad::IoLoad(HANDLE port, std::uint64_t seed, Tally& tally) : port_(port), seed_(seed), tally_(tally) {}

IoLoad::~IoLoad() {
    if (started_) Stop();
}

void IoLoad::Start() {
    started_ = true;
    for (int role = 0; role < kRoles; ++role)
        threads_.Start(kRoleNames[role], [this, role] { Body(static_cast<Role>(role)); });
}

void IoLoad::Stop(DWORD graceMs) {
    if (!started_) return;
    stop_ = true;
    u::SetCommMask(port_, 0);  // a new mask ends a pending wait (fails harmlessly on a dead port)
    const k::VirtualTime grace = static_cast<k::VirtualTime>(graceMs) * k::kMillisecond;
    if (!threads_.Join(grace).empty()) {
        u::CancelIoEx(port_, nullptr);  // the roles' requests: CancelIo would take only this thread's
        const std::string stuck = threads_.Join(grace);
        CAMPAIGN_CHECK(stuck.empty(), stuck + ": a request neither completed nor was cancelled");
    }
    started_ = false;
}

void IoLoad::Count(BOOL ok) {
    ++tally_.requests;
    ++outcomes_[ok ? 0 : u::GetLastError()];
}

void IoLoad::Pause(std::mt19937_64& rng, unsigned maxMs) {
    Sleep(static_cast<k::VirtualTime>(rng() % (maxMs + 1)) * k::kMillisecond);
}

void IoLoad::Body(Role role) {
    std::mt19937_64 rng(Mix(seed_, role));
    std::vector<char> buffer(256);
    if (role == Waiter) Count(u::SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR));
    while (!stop_) {
        Overlapped request;
        DWORD bytes = 0, mask = 0;
        BOOL ok = FALSE;
        switch (role) {
        case Reader: {
            const DWORD want = 1 + static_cast<DWORD>(rng() % buffer.size());
            ok = u::ReadFile(port_, buffer.data(), want, nullptr, &request.ov);
            if (ok || u::GetLastError() == ERROR_IO_PENDING) {
                ok = Finish(port_, request, &bytes, 5000, "read");
                CAMPAIGN_CHECK(bytes <= want, "read returned " + std::to_string(bytes) + " bytes for " + std::to_string(want));
            }
            break;
        }
        case Writer: {
            const DWORD length = 1 + static_cast<DWORD>(rng() % buffer.size());
            for (DWORD i = 0; i < length; ++i) buffer[i] = static_cast<char>(rng());
            ok = u::WriteFile(port_, buffer.data(), length, nullptr, &request.ov);
            if (ok || u::GetLastError() == ERROR_IO_PENDING) {
                ok = Finish(port_, request, &bytes, 5000, "write");
                CAMPAIGN_CHECK(bytes <= length, "write reported " + std::to_string(bytes) + " bytes of " + std::to_string(length));
            }
            break;
        }
        case Waiter:
            ok = u::WaitCommEvent(port_, &mask, &request.ov);
            if (ok || u::GetLastError() == ERROR_IO_PENDING) ok = Finish(port_, request, &bytes, 5000, "wait on mask");
            break;
        case Settings: {
            u::DCB dcb{};
            ok = u::GetCommState(port_, &dcb);
            Count(ok);
            if (ok) {
                static constexpr DWORD kRates[] = {9600, 19200, 38400, 115200};
                dcb.BaudRate = kRates[rng() % 4];
                ok = u::SetCommState(port_, &dcb);
                Count(ok);
            }
            DWORD lines = 0, errors = 0;
            u::COMSTAT status{};
            Count(u::GetCommModemStatus(port_, &lines));
            ok = u::ClearCommError(port_, &errors, &status);
            break;
        }
        default:
            break;
        }
        Count(ok);
        Pause(rng, ok ? 3 : 10);  // a dead port fails at once: do not spin
    }
}

}  // namespace campaign
