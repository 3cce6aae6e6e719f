// Pool accounting, leak reports and fault injection.
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "machine_fixture.h"
#include "tarvel/pool.h"

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

// An application can make a driver ask for any size (a queue size of 3 GB, say): the machine's pool is
// finite, as on Windows, so such a request fails instead of taking the host's memory.
TEST_F(Pool, AnAllocationLargerThanThePoolFails) {
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 0xB3BF0E3D, 'giBT'), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 0xFFFFFFFF, 'giBT'), nullptr);
  EXPECT_EQ(PoolOutstanding('giBT'), 0u);
  void* small = ExAllocatePoolWithTag(NonPagedPoolNx, 4096, 'giBT');
  EXPECT_NE(small, nullptr);
  ExFreePool(small);
}

TEST_F(Pool, EachPoolTypeHoldsItsCapacityAtOnce) {
  SetPoolCapacity(64 * 1024);
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 40 * 1024, 'paCT');
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 30 * 1024, 'paCT'), nullptr);  // the rest is too small
  void* paged = ExAllocatePoolWithTag(PagedPool, 60 * 1024, 'paCT');           // a pool of its own
  EXPECT_NE(paged, nullptr);
  void* rest = ExAllocatePoolWithTag(NonPagedPoolNx, 24 * 1024, 'paCT');       // exactly what is left
  EXPECT_NE(rest, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 1, 'paCT'), nullptr);
  ExFreePool(a);
  void* again = ExAllocatePoolWithTag(NonPagedPoolNx, 40 * 1024, 'paCT');     // freed bytes are free again
  EXPECT_NE(again, nullptr);
  for (void* p : {paged, rest, again}) ExFreePool(p);
  EXPECT_EQ(PoolOutstanding('paCT'), 0u);
}

#if defined(__SANITIZE_ADDRESS__)
void NTAPI RecordPoisoned(PKDPC, PVOID context, PVOID block, PVOID) {
  static_cast<std::vector<bool>*>(context)->push_back(__asan_address_is_poisoned(block));
}

// Paged pool is poisoned while the running thread is at DISPATCH_LEVEL, whichever thread that is:
// a thread switched out at DISPATCH_LEVEL (stalled holding a spin lock) leaves it readable to one
// at PASSIVE_LEVEL, and gets it poisoned again when it runs on. Nonpaged pool never is.
TEST_F(Pool, PagedPoolIsPoisonedWhileTheRunningThreadIsAtDispatchLevel) {
  auto* paged = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 16, 'dgaP'));
  auto* nonPaged = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'dgaP'));
  std::vector<bool> seen;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  StartThread("raised", [&] {
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    seen.push_back(__asan_address_is_poisoned(paged + 15));
    EXPECT_FALSE(__asan_address_is_poisoned(nonPaged));
    KeStallExecutionProcessor(10);
    seen.push_back(__asan_address_is_poisoned(paged));
    KeReleaseSpinLock(&lock, irql);
    seen.push_back(__asan_address_is_poisoned(paged));
  });
  StartThread("passive", [&] {
    seen.push_back(__asan_address_is_poisoned(paged));
    paged[0] = 1;
  });
  RunFor(kMillisecond);
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false}));

  seen.clear();
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordPoisoned, &seen);
  KeInsertQueueDpc(&dpc, paged, nullptr);
  EXPECT_EQ(seen, std::vector<bool>{true}) << "a DPC runs at DISPATCH_LEVEL";
  EXPECT_FALSE(__asan_address_is_poisoned(paged));
  ExFreePool(paged);
  ExFreePool(nonPaged);
}

TEST_F(Pool, PagedPoolTouchedAtDispatchLevelIsReportedWithTheBlock) {
  auto* paged = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(PagedPool, 24, 'dgaP'));
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  EXPECT_DEATH(paged[3] = 1, "use-after-poison.*VERIFIER STOP: paged pool touched at DISPATCH_LEVEL on 0x[0-9a-f]+: "
                             "offset 3 of the paged pool block 0x[0-9a-f]+ \\(tag 'Pagd', 24 bytes\\) by thread "
                             "\"app\" at IRQL 2");
  KeLowerIrql(irql);
  paged[3] = 1;
  ExFreePool(const_cast<UCHAR*>(paged));
}

TEST_F(Pool, OverrunOfAPoolBlockIsCaught) {
  auto* bytes = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'nurO'));
  EXPECT_DEATH(bytes[16] = 1, "heap-buffer-overflow");
  ExFreePool(const_cast<UCHAR*>(bytes));
}
#endif

}  // namespace
}  // namespace tarvel::kernel::testing
