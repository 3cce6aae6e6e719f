// Pageable code and paged pool at a raised IRQL, through a driver that uses both rightly and wrongly
// (pageabletest.cpp): the wrong uses stop the run as forced IRQL checking would on the platform.
#include <gtest/gtest.h>
#include <wdm.h>

#include "pageabletest.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"

namespace tarvel::kernel {
namespace {

class PageableCode : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Boot();
    SetDriverDirectory(TARVEL_TEST_DRIVER_DIR);
    driver = LoadDriver("pageabletest");
    ASSERT_NE(driver, nullptr) << LastLoadError();
  }
  void TearDown() override {
    if (driver) UnloadDriver(driver);
    Shutdown();
  }

  // The ULONG the driver returns for code, or 0 if the request failed.
  static ULONG Run(ULONG code) {
    PFILE_OBJECT file = nullptr;
    if (!NT_SUCCESS(io::OpenFile("\\Device\\PageableTest", &file))) return 0;
    ULONG value = 0;
    io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    request.outputBuffer = &value;
    request.outputLength = sizeof value;
    const IO_STATUS_BLOCK result = io::SendFileRequestAndWait(file, request);
    io::CloseFile(file);
    return NT_SUCCESS(result.Status) ? value : 0;
  }

  PDRIVER_OBJECT driver = nullptr;
};

TEST_F(PageableCode, RightUsesRunAndReadTheValue) {
  EXPECT_EQ(Run(IOCTL_PAGEABLE_CALL_AT_PASSIVE), PAGEABLETEST_VALUE);
  EXPECT_EQ(Run(IOCTL_PAGEABLE_LOCKS_THROUGH_LOCKED_CODE), PAGEABLETEST_VALUE);
  EXPECT_EQ(Run(IOCTL_PAGEABLE_WORK_ITEM), PAGEABLETEST_VALUE);
  EXPECT_EQ(Run(IOCTL_PAGED_POOL_AT_PASSIVE), PAGEABLETEST_VALUE);
  EXPECT_EQ(Run(IOCTL_NONPAGED_POOL_IN_DPC), PAGEABLETEST_VALUE);
}

TEST_F(PageableCode, PageableRoutineEnteredAtDispatchLevelStopsNamingItAndItsModule) {
  EXPECT_DEATH(Run(IOCTL_PAGEABLE_CALL_UNDER_LOCK),
               "VERIFIER STOP: pageable code at DISPATCH_LEVEL in ReadPagedValue on 0x[0-9a-f]+: entered at IRQL 2: "
               "ReadPagedValue \\(pageabletest.cpp:[0-9]+\\) in pageabletest.so\\+0x[0-9a-f]+, called from "
               ".*Run.* \\(PAGE section of pageabletest: paged out at this IRQL\\)");
  EXPECT_DEATH(Run(IOCTL_PAGEABLE_DPC),
               "VERIFIER STOP: pageable code at DISPATCH_LEVEL in PageableDpc on .*entered at IRQL 2.*"
               "thread \"app\" \\(running, DISPATCH_LEVEL, in a DPC\\)");
}

TEST_F(PageableCode, PageableRoutineThatRaisesTheIrqlStopsInTheKernelRoutine) {
  EXPECT_DEATH(Run(IOCTL_PAGEABLE_TAKES_LOCK),
               "VERIFIER STOP: pageable code at DISPATCH_LEVEL in KeAcquireSpinLock on .*: returns at IRQL 2 to "
               "pageable code PageableTakesLock \\(pageabletest.cpp:[0-9]+\\) in pageabletest.so.*PAGE section of "
               "pageabletest");
  EXPECT_DEATH(Run(IOCTL_PAGEABLE_RELEASES_LOCK),
               "VERIFIER STOP: pageable code at DISPATCH_LEVEL in KeReleaseSpinLock on .*: called at IRQL 2 from "
               "pageable code PageableReleasesLock \\(pageabletest.cpp:[0-9]+\\)");
}

TEST_F(PageableCode, PagedPoolTouchedInADpcIsAnAddressSanitizerReportNamingTheBlock) {
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH(Run(IOCTL_PAGED_POOL_IN_DPC),
               "AddressSanitizer: use-after-poison .*ReadingDpc.*pageabletest.cpp.*VERIFIER STOP: paged pool touched "
               "at DISPATCH_LEVEL on 0x[0-9a-f]+: offset 0 of the paged pool block 0x[0-9a-f]+ \\(tag 'TvPg', 4 "
               "bytes\\) by thread \"app\" at IRQL 2");
#else
  GTEST_SKIP() << "paged pool is poisoned only under AddressSanitizer";
#endif
}

}  // namespace
}  // namespace tarvel::kernel
