// The instructions of a driver image that user mode cannot execute and that the emulated kernel
// performs on the image's behalf, as they are what the platform's headers inline:
//
//   ReadCr8             mov %cr8, r64              REX.R 0F 20 /r   KeGetCurrentIrql, the old IRQL of KfRaiseIrql
//   WriteCr8            mov r64, %cr8              REX.R 0F 22 /r   KeLowerIrql, KfRaiseIrql
//   LoadSharedAbsolute  mov moffs64, %eax/%rax     [REX.W] A1 imm64 KeQuerySystemTime, KeQueryInterruptTime
//   SharedPageAddress   mov $imm64, r64            REX.W B8+r imm64 forms an address in the shared user page
//   LoadSharedIndirect  mov disp(base,index), r32/r64  [REX] 8B /r   reads the shared user page through it
//
// The shared user page (KUSER_SHARED_DATA) is at 0xFFFFF78000000000; the forms that read it are
// emulated only for addresses in that page. SharedPageAddress is not privileged itself (it loads a
// constant); it is listed so that the image check knows where such an address comes from. Anything
// else privileged in an image (other control registers, MSRs, port I/O, cli/sti, segment-relative
// reads of the processor block) is refused by the image check at build time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace tarvel::kernel::loader {

inline constexpr uint64_t kSharedUserPage = 0xFFFFF78000000000ull;
inline constexpr uint64_t kSharedUserPageSize = 0x1000;

inline bool InSharedUserPage(uint64_t address, uint64_t size = 1) {
  return address >= kSharedUserPage && address - kSharedUserPage + size <= kSharedUserPageSize;
}

enum class PrivilegedForm { ReadCr8, WriteCr8, LoadSharedAbsolute, SharedPageAddress, LoadSharedIndirect };

const char* PrivilegedFormName(PrivilegedForm form);

// A memory operand base + index * scale + displacement; a register number is -1 when absent.
struct MemoryOperand {
  int base = -1;
  int index = -1;
  unsigned scale = 1;
  int64_t displacement = 0;
};

struct PrivilegedInstruction {
  PrivilegedForm form = PrivilegedForm::ReadCr8;
  unsigned length = 0;        // bytes, to step over it
  unsigned reg = 0;           // the general register read or written (0 = rax ... 15 = r15)
  unsigned operandBytes = 8;  // 4 or 8 for the loads
  uint64_t address = 0;       // LoadSharedAbsolute: the address; SharedPageAddress: the constant
  MemoryOperand memory;       // LoadSharedIndirect
};

// Decodes the instruction at the start of code if it is one of the forms above; nothing otherwise.
// LoadSharedIndirect is any 8B load with a memory operand (not RIP-relative): whether it reads the
// shared page depends on the registers, which the caller checks.
std::optional<PrivilegedInstruction> DecodePrivileged(std::span<const uint8_t> code);

}  // namespace tarvel::kernel::loader
