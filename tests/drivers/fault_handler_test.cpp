// The instructions the platform's headers inline that user mode cannot execute, performed by the
// fault handler for code in a mapped image: hand-assembled routines in an image's .text, called as
// the kernel calls a driver's routines.
#include <gtest/gtest.h>

#include <cstring>

#include <wdm.h>

#include "image_builder.h"
#include "loader/pe_loader.h"
#include "tarvel/exports.h"
#include "tarvel/kernel.h"

namespace tarvel::kernel::loader {
namespace {

using tarvel::testing::ImageBuilder;

// The routines, each at its offset in .text (assembled with GNU as).
struct Routine {
  uint32_t offset;
  std::vector<uint8_t> bytes;
};
const Routine kReadCr8 = {0x00, {0x44, 0x0f, 0x20, 0xc0, 0xc3}};                    // mov %cr8,%rax
const Routine kReadCr8IntoR9 = {0x10, {0x45, 0x0f, 0x20, 0xc1, 0x4c, 0x89, 0xc8, 0xc3}};  // mov %cr8,%r9; mov %r9,%rax
// mov $0x1111,%r10d; mov $0x2200,%r11d; test %rcx,%rcx; mov %rcx,%cr8; lea (%r10,%r11),%rax; sete %al;
// add %rdx,%rax: the value of registers and flags set before the write, read after it.
const Routine kWriteCr8 = {0x20, {0x41, 0xba, 0x11, 0x11, 0x00, 0x00, 0x41, 0xbb, 0x00, 0x22, 0x00, 0x00, 0x48, 0x85,
                                  0xc9, 0x44, 0x0f, 0x22, 0xc1, 0x4b, 0x8d, 0x04, 0x1a, 0x0f, 0x94, 0xc0, 0x48, 0x01,
                                  0xd0, 0xc3}};
// movabs 0xfffff78000000014,%rax (SystemTime, as KeQuerySystemTime inlines it)
const Routine kSystemTime = {0x40, {0x48, 0xa1, 0x14, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0xc3}};
// mov $-1,%rax; movabs 0xfffff78000000008,%eax (the low half of InterruptTime)
const Routine kInterruptTimeLow = {0x50, {0x48, 0xc7, 0xc0, 0xff, 0xff, 0xff, 0xff, 0xa1, 0x08, 0x00, 0x00, 0x00, 0x80,
                                          0xf7, 0xff, 0xff, 0xc3}};
// movabs $0xfffff78000000000,%rcx; mov 0x320(%rcx),%rax (TickCount through a register)
const Routine kTickCount = {0x70, {0x48, 0xb9, 0x00, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0x48, 0x8b, 0x81, 0x20,
                                   0x03, 0x00, 0x00, 0xc3}};
// mov $-1,%rax; movabs $0xfffff78000000000,%rcx; mov $2,%edx; mov 0x4(%rcx,%rdx,2),%eax (base + index)
const Routine kIndexed = {0x90, {0x48, 0xc7, 0xc0, 0xff, 0xff, 0xff, 0xff, 0x48, 0xb9, 0x00, 0x00, 0x00, 0x00, 0x80,
                                 0xf7, 0xff, 0xff, 0xba, 0x02, 0x00, 0x00, 0x00, 0x8b, 0x44, 0x51, 0x04, 0xc3}};
// movabs 0xfffff78000000030,%rax (NtSystemRoot, which the kernel does not provide)
const Routine kUnprovidedField = {0xb0, {0x48, 0xa1, 0x30, 0x00, 0x00, 0x00, 0x80, 0xf7, 0xff, 0xff, 0xc3}};
const Routine kReadCr3 = {0xc0, {0x0f, 0x20, 0xd8, 0xc3}};  // mov %cr3,%rax
const Routine kLoadThroughRcx = {0xd0, {0x48, 0x8b, 0x01, 0xc3}};  // mov (%rcx),%rax

using Code = uint64_t(__attribute__((ms_abi)) *)(uint64_t rcx, uint64_t rdx);

class PrivilegedInstructions : public ::testing::Test {
 public:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::vector<uint8_t> text(0x100, 0xcc);
    for (const Routine* r : {&kReadCr8, &kReadCr8IntoR9, &kWriteCr8, &kSystemTime, &kInterruptTimeLow, &kTickCount,
                             &kIndexed, &kUnprovidedField, &kReadCr3, &kLoadThroughRcx})
      std::memcpy(text.data() + r->offset, r->bytes.data(), r->bytes.size());
    ImageBuilder b;
    textRva = b.AddSection(".text", text, ImageBuilder::kCode);
    b.SetEntryPoint(textRva);
    std::string error;
    const auto file = pe::Image::Parse(b.Build(), error);
    ASSERT_TRUE(file) << error;
    image = MappedImage::Map(*file, "privileged.sys", FindExport, error);
    ASSERT_NE(image, nullptr) << error;
    Boot();
  }
  void TearDown() override {
    if (Booted()) Shutdown();
  }
  void Lower() { Run(kWriteCr8, PASSIVE_LEVEL); }
  uint64_t Run(const Routine& r, uint64_t rcx = 0, uint64_t rdx = 0) {
    return reinterpret_cast<Code>(image->Base() + textRva + r.offset)(rcx, rdx);
  }

  std::unique_ptr<MappedImage> image;
  uint32_t textRva = 0;
};

TEST_F(PrivilegedInstructions, ReadingCr8GivesTheRunningThreadsIrql) {
  EXPECT_EQ(Run(kReadCr8), PASSIVE_LEVEL);
  EXPECT_EQ(Run(kReadCr8IntoR9), PASSIVE_LEVEL);
  const KIRQL old = KeRaiseIrqlToDpcLevel();
  EXPECT_EQ(Run(kReadCr8), DISPATCH_LEVEL);
  EXPECT_EQ(Run(kReadCr8IntoR9), DISPATCH_LEVEL);
  KeLowerIrql(old);
}

struct DpcRecord {
  bool ran = false;
  KIRQL irql = 0;
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* record = static_cast<DpcRecord*>(context);
  record->ran = true;
  record->irql = KeGetCurrentIrql();
}

TEST_F(PrivilegedInstructions, WritingCr8RaisesAndLowersThroughTheKernelAndKeepsTheImagesRegisters) {
  // The routine returns (0x3300 | ZF of `test %rcx,%rcx`) + rdx, from values set before the write.
  EXPECT_EQ(Run(kWriteCr8, DISPATCH_LEVEL, 0x10000), 0x13300u);
  EXPECT_EQ(CurrentIrql(), DISPATCH_LEVEL);
  KDPC dpc;
  DpcRecord record;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_FALSE(record.ran) << "held off at DISPATCH_LEVEL";
  EXPECT_EQ(Run(kWriteCr8, PASSIVE_LEVEL, 0x20000), 0x23301u);
  EXPECT_EQ(CurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(record.ran) << "lowering below DISPATCH_LEVEL lets the pending DPC run, as KeLowerIrql does";
  EXPECT_EQ(record.irql, DISPATCH_LEVEL);
}

TEST_F(PrivilegedInstructions, TheSharedUserPageShowsTheVirtualClock) {
  RunFor(3 * kSecond);
  LARGE_INTEGER system, ticks;
  KeQuerySystemTime(&system);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(Run(kSystemTime), uint64_t(system.QuadPart));
  EXPECT_EQ(Run(kTickCount), uint64_t(ticks.QuadPart));
  EXPECT_GT(ticks.QuadPart, 0);
  // 32-bit loads clear the upper half of the register, as the processor does.
  EXPECT_EQ(Run(kInterruptTimeLow), uint32_t(KeQueryInterruptTime()));
  EXPECT_EQ(Run(kIndexed), uint32_t(KeQueryInterruptTime()));
  RunFor(5 * kSecond);
  EXPECT_EQ(Run(kSystemTime), uint64_t(system.QuadPart + 5 * kSecond));
}

VOID NTAPI LowerToPassiveThroughTheImage(PKDPC, PVOID test, PVOID, PVOID) {
  static_cast<PrivilegedInstructions*>(test)->Lower();
}

TEST_F(PrivilegedInstructions, LoweringBelowDispatchLevelInADpcThroughCr8IsAVerifierStop) {
  EXPECT_DEATH(
      {
        KDPC dpc;
        KeInitializeDpc(&dpc, LowerToPassiveThroughTheImage, this);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        RunUntilIdle();
      },
      "VERIFIER STOP: IRQL lowered below DISPATCH_LEVEL in a DPC in KeLowerIrql \\(mov to %cr8\\)");
}

TEST_F(PrivilegedInstructions, AnythingElseGoesOnToTheCrashReportNamingTheImage) {
  EXPECT_DEATH(Run(kUnprovidedField),
               "fault in driver image privileged.sys at 0x[0-9a-f]+ \\(privileged.sys .text\\+0xb0\\): the instruction "
               "\\[48 a1 30 00 00 00 80 f7 ff ff c3 cc\\] reads KUSER_SHARED_DATA\\+0x30, which the emulated kernel "
               "does not provide");
  EXPECT_DEATH(Run(kReadCr3), "privileged.sys .text\\+0xc0\\): the instruction \\[0f 20 d8 c3 .*\\] is not one the "
                              "emulated kernel performs");
  EXPECT_DEATH(Run(kLoadThroughRcx, 8),
               "privileged.sys .text\\+0xd0\\): the instruction \\[48 8b 01 c3 .*\\] reads an address outside the "
               "shared user page");
}

}  // namespace
}  // namespace tarvel::kernel::loader
