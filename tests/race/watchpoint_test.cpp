// The watchpoints on an instrumented driver: requests from several threads update the race test
// driver's counters. The plain increment is reported with both accesses and the replay line; the
// spin lock, the interlocked operation and the accesses marked as unlocked on purpose never are.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>

#include "racetest.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarvel/verifier.h"

namespace tarvel::kernel {
namespace {

class Watchpoints : public ::testing::TestWithParam<std::uint64_t> {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    BootOptions options;
    options.policy = Policy::Random;
    options.seed = GetParam();
    Boot(options);
    SetDriverDirectory(TARVEL_RACE_DRIVER_DIR);
    driver = LoadDriver("racetest");
    ASSERT_NE(driver, nullptr) << LastLoadError();
  }
  void TearDown() override {
    if (!Booted()) return;
    UnloadDriver(driver);
    Shutdown();
  }

  static void Send(ULONG code) {
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(io::OpenFile("\\Device\\RaceTest", &file), STATUS_SUCCESS);
    io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    EXPECT_EQ(io::SendFileRequestAndWait(file, request).Status, STATUS_SUCCESS);
    io::CloseFile(file);
  }
  // Two threads send the requests `rounds` times each, interleaved by the seed.
  static void FromTwoThreads(ULONG first, ULONG second, int rounds) {
    int finished = 0;
    for (const ULONG code : {first, second})
      StartThread("client", [code, rounds, &finished] {
        for (int i = 0; i < rounds; ++i) Send(code);
        ++finished;
      });
    while (finished < 2) RunFor(kMillisecond);  // stalled accesses wait in virtual time
  }

  PDRIVER_OBJECT driver = nullptr;
};

TEST_P(Watchpoints, APlainIncrementFromTwoThreadsIsReportedWithBothAccesses) {
  EXPECT_DEATH(FromTwoThreads(IOCTL_RACETEST_BUMP_UNLOCKED, IOCTL_RACETEST_BUMP_UNLOCKED, 400),
               "RACE: (data race|value changed under a read watchpoint) on 4 bytes at 0x[0-9a-f]+\n"
               "  (read|write) by thread \"client\" at IRQL 0 \\(watched, stalled there\\)\n"
               "    at (Work|RaceDispatchDeviceControl) \\(racetest.cpp:[0-9]+\\) in racetest.so\\+0x[0-9a-f]+\n"
               "    holding no spin lock\n"
               "  (read|write) by thread \"(client|\\?)\".*\\(while it was stalled\\)\n"
               "(.|\n)*replay: TARVEL_POLICY=random TARVEL_SEED=[0-9]+ ");
}

TEST_P(Watchpoints, LockedInterlockedAndMarkedAccessesAreNotReported) {
  FromTwoThreads(IOCTL_RACETEST_BUMP_LOCKED, IOCTL_RACETEST_BUMP_LOCKED, 300);
  FromTwoThreads(IOCTL_RACETEST_BUMP_INTERLOCKED, IOCTL_RACETEST_READ_INTERLOCKED, 300);
  FromTwoThreads(IOCTL_RACETEST_POLL_FLAG, IOCTL_RACETEST_POLL_FLAG, 300);
  EXPECT_GT(RaceWatchpointsSet(), 20u);  // the driver's accesses were watched
}

INSTANTIATE_TEST_SUITE_P(Seeds, Watchpoints, ::testing::Range<std::uint64_t>(1, 9));

}  // namespace
}  // namespace tarvel::kernel
