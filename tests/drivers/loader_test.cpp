// The small test driver on the emulated kernel: loaded by service name, ticking in virtual time,
// unloaded with nothing left behind.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>
#include <vector>

#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarveltest.h"

namespace tarvel::kernel {
namespace {

class TestDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Boot();
    SetDriverDirectory(TARVEL_TEST_DRIVER_DIR);
    SetTraceSink([this](const TraceEvent& e) { events.push_back(e); });
  }
  void TearDown() override {
    SetTraceSink({});
    if (Booted()) Shutdown();
  }

  // Times of the driver's debug messages that contain text.
  std::vector<VirtualTime> MessagesWith(const std::string& text) const {
    std::vector<VirtualTime> times;
    for (const TraceEvent& e : events)
      if (e.what.rfind("debug: ", 0) == 0 && e.what.find(text) != std::string::npos) times.push_back(e.time);
    return times;
  }
  std::vector<VirtualTime> DpcRuns() const {
    std::vector<VirtualTime> times;
    for (const TraceEvent& e : events)
      if (e.what.rfind("DPC ", 0) == 0 && e.what.find("tarveltest") != std::string::npos) times.push_back(e.time);
    return times;
  }

  // Reads the tick count through the driver's dispatch table, as an application would.
 public:
  static IO_STATUS_BLOCK ReadTicks(ULONG& ticks, ULONG outputLength = sizeof(ULONG),
                                   ULONG code = IOCTL_TARVELTEST_GET_TICKS) {
    PFILE_OBJECT file = nullptr;
    const NTSTATUS opened = io::OpenFile("\\Device\\TarvelTest", &file);
    EXPECT_EQ(opened, STATUS_SUCCESS);
    if (!NT_SUCCESS(opened)) return IO_STATUS_BLOCK{};
    io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    request.outputBuffer = &ticks;
    request.outputLength = outputLength;
    const IO_STATUS_BLOCK result = io::SendFileRequestAndWait(file, request);
    io::CloseFile(file);
    return result;
  }


 protected:
  static std::string Narrow(const UNICODE_STRING& s) {
    std::string text;
    for (USHORT i = 0; i < s.Length / sizeof(WCHAR); ++i) text += static_cast<char>(s.Buffer[i]);
    return text;
  }

  std::vector<TraceEvent> events;
};

TEST_F(TestDriver, LoadsTicksInVirtualTimeAndUnloadsWithNothingLeft) {
  PDRIVER_OBJECT driver = LoadDriver("tarveltest");
  ASSERT_NE(driver, nullptr) << LastLoadError();
  EXPECT_EQ(FindDriver("tarveltest"), driver);
  EXPECT_EQ(LoadedDrivers(), std::vector<PDRIVER_OBJECT>{driver});
  ASSERT_NE(driver->DeviceObject, nullptr);
  EXPECT_NE(driver->DriverUnload, nullptr);
  EXPECT_NE(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], driver->MajorFunction[IRP_MJ_READ])
      << "the driver's own dispatch routine, not the default one";
  EXPECT_EQ(MessagesWith("loaded from \\Registry\\Machine\\System\\CurrentControlSet\\Services\\tarveltest").size(), 1u);
  EXPECT_EQ(Narrow(driver->DriverName), "\\Driver\\tarveltest");
  EXPECT_EQ(Narrow(driver->DriverExtension->ServiceKeyName), "tarveltest");
  EXPECT_EQ(driver->DriverExtension->DriverObject, driver);

  RunFor(5 * kSecond);
  std::vector<VirtualTime> expected;
  for (int tick = 1; tick <= TARVELTEST_TICKS; ++tick) expected.push_back(tick * TARVELTEST_TICK_PERIOD_MS * kMillisecond);
  EXPECT_EQ(DpcRuns(), expected);
  EXPECT_EQ(MessagesWith("10 ticks, timer stopped"), std::vector<VirtualTime>{kSecond});
  EXPECT_EQ(PoolOutstanding(TARVELTEST_POOL_TAG), static_cast<std::size_t>(TARVELTEST_TICKS));

  UnloadDriver(driver);
  EXPECT_EQ(PoolOutstanding(TARVELTEST_POOL_TAG), 0u);
  EXPECT_EQ(FindDriver("tarveltest"), nullptr);
  EXPECT_EQ(MessagesWith("unloaded after 10 ticks").size(), 1u);
}

TEST_F(TestDriver, DispatchTableServesRequestsAndTheDefaultRefusesTheRest) {
  PDRIVER_OBJECT driver = LoadDriver("tarveltest");
  ASSERT_NE(driver, nullptr) << LastLoadError();
  RunFor(350 * kMillisecond);
  ULONG ticks = 0;
  IO_STATUS_BLOCK result = ReadTicks(ticks);
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, sizeof(ULONG));
  EXPECT_EQ(ticks, 3u);
  EXPECT_EQ(ReadTicks(ticks, 2).Status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ReadTicks(ticks, sizeof(ULONG), CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)).Status,
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], &io::InvalidDeviceRequest);
  UnloadDriver(driver);
}

TEST_F(TestDriver, UnloadWhileTheTimerRunsCancelsItAndFreesWhatWasRecorded) {
  PDRIVER_OBJECT driver = LoadDriver("tarveltest");
  ASSERT_NE(driver, nullptr) << LastLoadError();
  RunFor(450 * kMillisecond);
  EXPECT_EQ(PoolOutstanding(TARVELTEST_POOL_TAG), 4u);
  UnloadDriver(driver);
  EXPECT_EQ(PoolOutstanding(TARVELTEST_POOL_TAG), 0u);
  RunFor(kSecond);
  EXPECT_EQ(DpcRuns().size(), 4u) << "a tick after unload would run unloaded code";
}

TEST_F(TestDriver, FailedTickAllocationIsCountedAndNothingLeaks) {
  FailNth(FaultSite::Pool, 3, TARVELTEST_POOL_TAG);
  PDRIVER_OBJECT driver = LoadDriver("tarveltest");
  ASSERT_NE(driver, nullptr) << LastLoadError();
  RunFor(2 * kSecond);
  EXPECT_EQ(FaultsInjected(), 1u);
  EXPECT_EQ(PoolOutstanding(TARVELTEST_POOL_TAG), static_cast<std::size_t>(TARVELTEST_TICKS - 1));
  UnloadDriver(driver);
  EXPECT_EQ(PoolOutstanding(TARVELTEST_POOL_TAG), 0u);
  ClearFaults();
}

TEST_F(TestDriver, MissingModuleIsAClearErrorAndLoadsNothing) {
  EXPECT_EQ(LoadDriver("nosuchdriver"), nullptr);
  EXPECT_NE(LastLoadError().find("cannot load"), std::string::npos) << LastLoadError();
  EXPECT_NE(LastLoadError().find("nosuchdriver.so"), std::string::npos) << LastLoadError();
  EXPECT_TRUE(LoadedDrivers().empty());
}

TEST_F(TestDriver, LoadingTheSameServiceTwiceIsRefused) {
  PDRIVER_OBJECT driver = LoadDriver("tarveltest");
  ASSERT_NE(driver, nullptr) << LastLoadError();
  EXPECT_EQ(LoadDriver("tarveltest"), nullptr);
  EXPECT_NE(LastLoadError().find("already loaded"), std::string::npos);
  UnloadDriver(driver);
}

TEST_F(TestDriver, PoolLeftByTheDriverAtUnloadIsAVerifierStopNamingTheTag) {
  PDRIVER_OBJECT driver = LoadDriver("tarveltest");
  ASSERT_NE(driver, nullptr) << LastLoadError();
  RunFor(kSecond);
  // The driver's own unload routine frees its records; one that only deletes its device leaks them.
  // It still waits for a tick DPC that may be mid-routine (stalled by the race configuration's
  // watchpoints, as on another processor), so that the leak is what stops the run.
  PDRIVER_UNLOAD ownUnload = driver->DriverUnload;
  driver->DriverUnload = [](PDRIVER_OBJECT d) NTAPI {
    KeFlushQueuedDpcs();
    IoDeleteDevice(d->DeviceObject);
  };
  EXPECT_DEATH(UnloadDriver(driver), "VERIFIER STOP: pool leak in DriverUnload .*driver tarveltest: 10 pool "
                                     "allocations \\(.* bytes\\) outstanding:.*tag 'vTst': 10 allocations");
  driver->DriverUnload = ownUnload;
  UnloadDriver(driver);
}

// The driver's life under many interleavings: readers on two threads race the ticking DPC and the
// unload; every seed must end with the right count and nothing left behind.
TEST(TestDriverStress, EverySeedEndsCleanWithTenTicks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    Boot({.policy = Policy::Random, .seed = seed});
    SCOPED_TRACE(ReplayCommand());
    SetDriverDirectory(TARVEL_TEST_DRIVER_DIR);
    PDRIVER_OBJECT driver = LoadDriver("tarveltest");
    ASSERT_NE(driver, nullptr) << LastLoadError();
    ULONG last[2] = {0, 0};
    for (int reader = 0; reader < 2; ++reader) {
      StartThread("reader" + std::to_string(reader), [reader, &last] {
        for (int i = 0; i < 6; ++i) {
          ULONG ticks = 0;
          EXPECT_EQ(TestDriver::ReadTicks(ticks).Status, STATUS_SUCCESS);
          EXPECT_GE(ticks, last[reader]) << "the count went backwards";
          last[reader] = ticks;
          RunFor((70 + 30 * reader) * kMillisecond);
        }
      });
    }
    RunFor(2 * kSecond);
    ULONG ticks = 0;
    EXPECT_EQ(TestDriver::ReadTicks(ticks).Status, STATUS_SUCCESS);
    EXPECT_EQ(ticks, static_cast<ULONG>(TARVELTEST_TICKS));
    UnloadDriver(driver);
    EXPECT_EQ(PoolOutstanding(TARVELTEST_POOL_TAG), 0u);
    Shutdown();
  }
}

}  // namespace
}  // namespace tarvel::kernel
