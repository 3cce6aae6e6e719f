// The command-line program as a user runs it: the default run passes and says what it did; a run that
// cannot pass says why and fails; bad arguments give the reason and the usage.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace {

struct ProgramRun {
    int status = -1;
    std::string output;
};

// Runs the program with arguments (standard error joined to standard output unless redirected);
// onLine, if given, sees each line of output as it comes.
ProgramRun Tarvelcom(const std::string& arguments, const std::string& redirections = "2>&1 </dev/null",
                     const std::function<void(const std::string&)>& onLine = {}) {
    ProgramRun run;
    const std::string command = std::string(TARVELCOM_PROGRAM) + " " + arguments + " " + redirections;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    if (onLine) {
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            run.output += buffer;
            onLine(buffer);
        }
    } else {
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool Has(const ProgramRun& run, const std::string& text) { return run.output.find(text) != std::string::npos; }

#ifdef TARVEL_IMAGE_PASS
// --images pe runs the shipped images; the option, not the environment, decides.
TEST(Tarvelcom, RunsOnTheShippedWindowsImagesWhenAskedAndPasses) {
    ::setenv("TARVEL_IMAGES", "module", 1);
    const ProgramRun run = Tarvelcom("--images pe --size 4k");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run, "the Windows images (tarvelpipe.sys, tarvelport.sys), as shipped")) << run.output;
    EXPECT_TRUE(Has(run, "all 4096 bytes came back, in order and intact")) << run.output;
    EXPECT_TRUE(Has(run, "Result: PASS")) << run.output;
}
#endif

TEST(Tarvelcom, TheDefaultRunShowsThePortAtWorkAndPasses) {
    const ProgramRun run = Tarvelcom("");
    EXPECT_EQ(run.status, 0) << run.output;
    for (const char* expected :
         {"function driver tarvelpipe, upper filter tarvelport", "\\Device\\tarvelport0    tarvelport  upper filter",
          "tarvelpipe  function driver", "usbhub      bus device", "COM3 (\\DosDevices\\COM3 -> \\Device\\tarvelport0)",
          "\\Device\\tarvelport0 = COM3", "{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
          "115200 baud, 8 data bits, no parity, 1 stop bit", "100%  16384/16384 bytes",
          "all 16384 bytes came back, in order and intact", "CTS on, DSR on, DCD on", "EV_RXCHAR",
          "name gone", "nothing outstanding", "Result: PASS"})
        EXPECT_TRUE(Has(run, expected)) << "missing: " << expected << "\n" << run.output;
}

TEST(Tarvelcom, SettingsOfARunReachTheDriversAndTheReport) {
    const ProgramRun run = Tarvelcom("--endpoint-caps 3 --baud 76800 --tx-async --size 2k --set RxPollPeriod=2 --trace");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run, "EndPointCaps ............... 3   (set for this run)")) << run.output;
    EXPECT_TRUE(Has(run, "TxAsync .................... 1   (set for this run)")) << run.output;
    EXPECT_TRUE(Has(run, "the adapter's UART ......... 76800 baud, 8N1")) << run.output;
    EXPECT_TRUE(Has(run, "LINE_SETTINGS [00 07 01]")) << "the three-byte form with rate index 7:\n" << run.output;
    EXPECT_TRUE(Has(run, "tarvelpipe -> usbhub       BULK_OR_INTERRUPT_TRANSFER ep 0x01 OUT")) << run.output;
    EXPECT_TRUE(Has(run, "received 2048, transmitted 2048")) << "the buffered transmitter counts:\n" << run.output;
}

TEST(Tarvelcom, ARefusedLineSettingFailsTheRunWithTheReason) {
    const ProgramRun run = Tarvelcom("--baud 57600");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Has(run, "REFUSED, the parameter is incorrect (87)")) << run.output;
    EXPECT_TRUE(Has(run, "Result: FAILED, the port refused the line settings.")) << run.output;
    EXPECT_TRUE(Has(run, "nothing outstanding")) << "the teardown is still reported:\n" << run.output;
}

TEST(Tarvelcom, LostBytesFailTheRun) {
    // A receive engine that pauses 20 ms after every read of one packet (the drivers' own RxReqSize, not
    // the INF's) cannot keep up with 115200 baud: the adapter's receive FIFO overruns and the run must
    // say so.
    const ProgramRun run = Tarvelcom("--set RxPollPeriod=20 --set RxReqSize=0 --size 4k");
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Has(run, "Result: FAILED, not every byte came back.")) << run.output;
    EXPECT_FALSE(Has(run, "overruns 0,")) << run.output;
}

TEST(Tarvelcom, RandomPolicyRunsPassAndReplayExactlyByTheirSeed) {
    // Seeds 3, 4 and 25 once met completions racing CancelIo and the closing of an event.
    for (const char* seed : {"3", "4", "25"}) {
        const ProgramRun run = Tarvelcom(std::string("--size 4k --seed ") + seed);
        EXPECT_EQ(run.status, 0) << "seed " << seed << "\n" << run.output;
        EXPECT_TRUE(Has(run, std::string("random policy, seed ") + seed)) << run.output;
    }
    const ProgramRun first = Tarvelcom("--size 2k --seed 5"), again = Tarvelcom("--size 2k --seed 5");
    EXPECT_EQ(first.output, again.output) << "the same options and seed replay the same run";
}

TEST(Tarvelcom, TheStandardStreamFarSideSendsTheLinesBytesToStandardOutput) {
    // Nobody echoes: standard output carries exactly what the adapter sent, the report goes elsewhere,
    // and the run fails because nothing came back.
    const ProgramRun run = Tarvelcom("--far-side stdio --size 600", "2>/dev/null </dev/null");
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.output.size(), 600u) << run.output;
    for (std::size_t i = 0; i < run.output.size(); ++i)
        ASSERT_EQ(static_cast<unsigned char>(run.output[i]), static_cast<unsigned char>(i * 7 + (i >> 8))) << i;
}

// A free port on the loopback interface, for the program to listen on.
std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// An echoing far end: connects once the program listens, sends back what it gets, and stops when the
// program closes the connection or after five quiet seconds.
void EchoClient(std::uint16_t port, std::size_t* echoed) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        char buffer[512];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
            if (::send(fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
            *echoed += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
}

TEST(Tarvelcom, AnEchoingTcpClientIsTheFarEnd) {
    const std::uint16_t port = FreePort();
    std::size_t echoed = 0;
    std::thread client;
    const ProgramRun run = Tarvelcom("--far-side tcp:" + std::to_string(port) + " --size 3k --wait 20", "2>&1 </dev/null",
                                     [&](const std::string& line) {
                                         // The program says when it listens: the client connects then.
                                         if (line.find("for a client on 127.0.0.1") != std::string::npos)
                                             client = std::thread(EchoClient, port, &echoed);
                                     });
    if (client.joinable()) client.join();
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run, "far side: TCP 127.0.0.1:" + std::to_string(port))) << run.output;
    EXPECT_TRUE(Has(run, "all 3072 bytes came back")) << run.output;
    EXPECT_EQ(echoed, 3072u);
}

TEST(Tarvelcom, BadArgumentsGiveTheReasonAndTheUsage) {
    for (const char* arguments : {"--bogus", "--baud", "--baud fast", "--line 9N1", "--far-side serial",
                                  "--set NoEquals", "--set TxAsync=12x", "--size 0", "--endpoint-caps 4", "--trace=yes",
                                  "--images elf"}) {
        const ProgramRun run = Tarvelcom(arguments);
        EXPECT_EQ(run.status, 2) << arguments << "\n" << run.output;
        EXPECT_TRUE(Has(run, "tarvelcom: ")) << arguments;
        EXPECT_TRUE(Has(run, "usage: tarvelcom [options]")) << arguments;
        EXPECT_FALSE(Has(run, "booted")) << arguments << ": nothing runs on a bad command line";
    }
    const ProgramRun help = Tarvelcom("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help, "--far-side tcp[:PORT]"));
}

} // namespace
