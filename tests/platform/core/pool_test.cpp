// Pool accounting, leak reports and fault injection.
#include <string>

#include "machine_fixture.h"

namespace tarvel::kernel::testing {
namespace {

using Pool = MachineTest;

TEST_F(Pool, OutstandingAllocationsAreCountedByTagUntilFreed) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 24, 'AltT');
  void* b = ExAllocatePoolWithTag(PagedPool, 100, 'AltT');
  void* c = ExAllocatePool(NonPagedPool, 8);
  EXPECT_EQ(PoolOutstanding('AltT'), 2u);
  EXPECT_EQ(PoolOutstandingBytes('AltT'), 124u);
  EXPECT_EQ(PoolOutstanding('enoN'), 1u);
  ExFreePoolWithTag(a, 'AltT');
  ExFreePool(c);
  EXPECT_EQ(PoolOutstanding('AltT'), 1u);
  const std::string report = PoolLeakReport();
  EXPECT_NE(report.find("tag 'TtlA': 1 allocation, 100 bytes (paged)"), std::string::npos) << report;
  ExFreePool(b);
  EXPECT_EQ(PoolLeakReport(), "");
  EXPECT_EQ(TagName('tseT'), "Test");
}

TEST_F(Pool, ShutdownReportsWhatIsStillOutstanding) {
  EXPECT_DEATH(
      {
        ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'tfeL');
        Shutdown();
        std::abort();
      },
      "pool leak report at shutdown: 1 pool allocation \\(32 bytes\\) outstanding:.*tag 'Left'");
}

TEST_F(Pool, FailNthFailsExactlyThatAllocationOfTheTag) {
  FailNth(FaultSite::Pool, 2, 'BgaT');
  void* otherTag = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'AgaT');
  void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'BgaT');
  void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'BgaT');
  void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'BgaT');
  EXPECT_NE(otherTag, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(FaultsInjected(), 1u);
  EXPECT_EQ(FaultSiteCalls(FaultSite::Pool), 4u);
  EXPECT_EQ(PoolOutstanding('BgaT'), 2u);
  for (void* p : {otherTag, first, third}) ExFreePool(p);
  ClearFaults();
}

TEST_F(Pool, RandomFaultsFollowTheirSeed) {
  auto pattern = [](std::uint64_t seed) {
    ClearFaults();
    FailRandom(FaultSite::Pool, 0.3, seed);
    std::string failed;
    for (int i = 0; i < 64; ++i) {
      void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 4, 'dnaR');
      failed += p ? '.' : 'x';
      if (p) ExFreePool(p);
    }
    ClearFaults();
    return failed;
  };
  const std::string seven = pattern(7);
  EXPECT_EQ(pattern(7), seven);
  EXPECT_NE(pattern(8), seven);
  EXPECT_NE(seven.find('x'), std::string::npos);
  EXPECT_NE(seven.find('.'), std::string::npos);
}

TEST_F(Pool, OtherSitesShareTheInjection) {
  FailNth(FaultSite::Irp, 1);
  EXPECT_FALSE(ShouldFail(FaultSite::Pool));
  EXPECT_TRUE(ShouldFail(FaultSite::Irp));
  EXPECT_FALSE(ShouldFail(FaultSite::Irp));
  EXPECT_EQ(FaultsInjected(), 1u);
  ClearFaults();
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(Pool, OverrunOfAPoolBlockIsCaught) {
  auto* bytes = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'nurO'));
  EXPECT_DEATH(bytes[16] = 1, "heap-buffer-overflow");
  ExFreePool(const_cast<UCHAR*>(bytes));
}
#endif

}  // namespace
}  // namespace tarvel::kernel::testing
