// The fast device (a device that keeps up with the bus) under the whole stack, at the settings with
// which the benchmarks reach the bus budget: what the application writes reaches the device, and what
// the device sends reaches the application, whole, once and in order, both ways at once, through the
// COM port and through the pipes opened by name, full and high speed, under the random policy.
#include "system_fixture.h"

#include <deque>
#include <memory>

#include "pipeioctl.h"

namespace systemtest {
namespace {

struct Request {
    Pending p;
    std::vector<std::uint8_t> buffer;
};

// Writes `total` bytes of the sequence and reads what the device produces, each direction with two
// requests of `chunk` bytes outstanding, until `total` bytes came back or nothing moves for a while;
// then cancels what is left and collects that too (a byte delivered twice would show there).
struct TwoWays {
    HANDLE writer = INVALID_HANDLE_VALUE, reader = INVALID_HANDLE_VALUE;
    DWORD chunk = 0;
    std::size_t total = 0;

    std::vector<std::uint8_t> received;
    std::uint64_t written = 0;
    DWORD writeError = 0, readError = 0;

    void Run() {
        std::deque<std::unique_ptr<Request>> writes, reads;
        std::uint64_t queued = 0;
        auto collect = [&](std::deque<std::unique_ptr<Request>>& q, HANDLE file, bool wait, bool read) {
            bool moved = false;
            while (!q.empty() && (wait || q.front()->p.Done())) {  // requests complete in issue order
                Request& r = *q.front();
                const BOOL ok = r.p.Wait(file);
                if (!ok && u::GetLastError() != ERROR_OPERATION_ABORTED) (read ? readError : writeError) = u::GetLastError();
                if (read) received.insert(received.end(), r.buffer.begin(), r.buffer.begin() + r.p.bytes);
                else written += r.p.bytes;
                q.pop_front();
                moved = true;
            }
            return moved;
        };
        for (int idle = 0; idle < 100 && (received.size() < total || queued < total) && !writeError && !readError;) {
            bool moved = collect(writes, writer, false, false) | collect(reads, reader, false, true);
            while (writes.size() < 2 && queued < total) {
                auto w = std::make_unique<Request>();
                const std::size_t n = std::min<std::size_t>(chunk, total - queued);
                for (std::size_t i = 0; i < n; ++i) w->buffer.push_back(usb::SequenceByte(queued + i));
                if (!u::WriteFile(writer, w->buffer.data(), static_cast<DWORD>(n), nullptr, &w->p.ov) &&
                    u::GetLastError() != ERROR_IO_PENDING)
                    writeError = u::GetLastError();
                queued += n;
                writes.push_back(std::move(w));
                moved = true;
            }
            while (reads.size() < 2) {
                auto r = std::make_unique<Request>();
                r->buffer.resize(chunk);
                if (!u::ReadFile(reader, r->buffer.data(), chunk, nullptr, &r->p.ov) && u::GetLastError() != ERROR_IO_PENDING)
                    readError = u::GetLastError();
                reads.push_back(std::move(r));
                moved = true;
            }
            idle = moved ? 0 : idle + 1;
            if (!moved) u::WaitForSingleObject(reads.front()->p.ov.hEvent, 5);
        }
        collect(writes, writer, true, false);
        u::CancelIo(reader);
        collect(reads, reader, true, true);
    }
};

class FastStack : public SystemTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    void BootRandom() {
        m::MachineOptions options;
        options.boot.policy = k::Policy::Random;
        options.boot.seed = GetParam();
        Boot(options);
    }
    m::Adapter& PlugFast(usb::Speed speed, bool pipeDirect, std::vector<std::string> settings) {
        m::AdapterOptions options;
        options.device = m::DeviceKind::Fast;
        options.speed = speed;
        options.functionDriverOnly = pipeDirect;
        for (const std::string& s : settings) {
            std::string error;
            options.settings.push_back(m::ParseSetting(s, &error).value());
        }
        m::Adapter& adapter = machine->Plug(options);
        EXPECT_TRUE(adapter.Started());
        return adapter;
    }
    HANDLE OpenPipe(const std::string& interfacePath, const char* pipe) {
        HANDLE h = u::CreateFileA((interfacePath + pipe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << pipe;
        if (h != INVALID_HANDLE_VALUE) handles.push_back(h);
        return h;
    }
    // Both ways at once; `total` is not a whole number of packets, so the last bulk-in transfer ends short.
    void Check(m::Adapter& adapter, HANDLE writer, HANDLE reader, DWORD chunk, std::size_t total) {
        SCOPED_TRACE(k::ReplayCommand());
        adapter.Stream().ProduceForHost(total);
        TwoWays run;
        run.writer = writer, run.reader = reader, run.chunk = chunk, run.total = total;
        run.Run();
        EXPECT_EQ(run.writeError, 0u);
        EXPECT_EQ(run.readError, 0u);
        EXPECT_EQ(run.written, total);
        EXPECT_EQ(adapter.Stream().Consumed(), total) << "every written byte reached the device once";
        EXPECT_EQ(adapter.Stream().OutOfOrder(), 0u);
        ASSERT_EQ(run.received.size(), total) << "every byte the device sent reached the application once";
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < total; ++i) wrong += run.received[i] != usb::SequenceByte(i);
        EXPECT_EQ(wrong, 0u) << "in order";
    }
};

TEST_P(FastStack, ThroughTheComPortAtTheBestSettingsEveryByteArrivesOnceAndInOrder) {
    BootRandom();
    // The best of the benchmarks through the COM port: the buffered transmitter, the INF's receive settings.
    struct Case { usb::Speed speed; std::size_t total; };
    for (const Case& c : {Case{usb::Speed::Full, 150'001}, Case{usb::Speed::High, 1'500'007}}) {
        m::Adapter& adapter = PlugFast(c.speed, false, {"TxAsync=1"});
        HANDLE port = Open(adapter.ComName());
        ASSERT_TRUE(SetLine(port, 115200));
        u::COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 1000, 0, 0};  // what is there, else wait for the first byte
        ASSERT_TRUE(u::SetCommTimeouts(port, &timeouts));
        Check(adapter, port, port, 4096, c.total);
        Close(port);
    }
}

TEST_P(FastStack, ThroughPipesOpenedByNameEveryByteArrivesOnceAndInOrder) {
    BootRandom();
    struct Case { usb::Speed speed; DWORD big; std::size_t total; };
    for (const Case& c : {Case{usb::Speed::Full, 16384, 150'001}, Case{usb::Speed::High, 65536, 1'500'007}}) {
        const std::string big = std::to_string(c.big);
        m::Adapter& adapter = PlugFast(c.speed, true, {"EP1_SegmentSize=" + big, "MaximumTransferSize=" + big});
        const auto paths = u::EnumerateDeviceInterfaces(GUID_DEVINTERFACE_USB_PIPES);
        ASSERT_FALSE(paths.empty());
        HANDLE out = OpenPipe(paths.back(), "\\PIPE00"), in = OpenPipe(paths.back(), "\\PIPE01");
        // Port enable (vendor command 3), as the port driver sends it at open.
        const UCHAR enable[10] = {0x40, 0x0B, 0, 0, 0, 0, 2, 0, 3, 1};
        Pending command;
        ASSERT_ISSUED(u::DeviceIoControl(out, IOCTL_PIPE_CONTROL_TRANSFER, const_cast<UCHAR*>(enable), sizeof enable, nullptr, 0,
                                         nullptr, &command.ov));
        ASSERT_TRUE(command.Wait(out));
        Check(adapter, out, in, c.big, c.total);
        Close(out);
        Close(in);
        machine->Unplug(adapter);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FastStack, ::testing::Values(1u, 7u, 42u, 1234u, 99991u, 31337u, 271828u, 314159u));

}  // namespace
}  // namespace systemtest
