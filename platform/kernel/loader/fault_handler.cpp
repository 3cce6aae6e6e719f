#include "loader/fault_handler.h"

#include <ucontext.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include <wdm.h>

#include "exec/engine.h"
#include "ke/dispatcher.h"
#include "loader/pe_loader.h"
#include "loader/privileged.h"
#include "loader/shared_user_page.h"

// Where the image goes on after a write to CR8: the handler cannot lower the IRQL itself (lowering may
// run DPCs and switch threads, which a signal handler must not), so it makes the image "call" this
// stub, which keeps every register and the flags, sets the IRQL through the kernel and returns to the
// instruction after the write. On entry (%rsp) holds the new IRQL and 8(%rsp) the return address; the
// image's code (Microsoft ABI) keeps nothing below its stack pointer, so the handler may push there.
extern "C" __attribute__((visibility("hidden"))) void TarvelCr8WriteTrampoline();
extern "C" __attribute__((visibility("hidden"))) void TarvelWriteCr8(uint64_t irql);

asm(R"(
  .text
  .globl TarvelCr8WriteTrampoline
  .hidden TarvelCr8WriteTrampoline
  .type TarvelCr8WriteTrampoline, @function
TarvelCr8WriteTrampoline:
  pushfq
  cld
  pushq %rax
  pushq %rcx
  pushq %rdx
  pushq %rsi
  pushq %rdi
  pushq %r8
  pushq %r9
  pushq %r10
  pushq %r11
  pushq %rbp
  movq %rsp, %rbp
  andq $-16, %rsp
  subq $256, %rsp
  movdqa %xmm0, 0(%rsp)
  movdqa %xmm1, 16(%rsp)
  movdqa %xmm2, 32(%rsp)
  movdqa %xmm3, 48(%rsp)
  movdqa %xmm4, 64(%rsp)
  movdqa %xmm5, 80(%rsp)
  movdqa %xmm6, 96(%rsp)
  movdqa %xmm7, 112(%rsp)
  movdqa %xmm8, 128(%rsp)
  movdqa %xmm9, 144(%rsp)
  movdqa %xmm10, 160(%rsp)
  movdqa %xmm11, 176(%rsp)
  movdqa %xmm12, 192(%rsp)
  movdqa %xmm13, 208(%rsp)
  movdqa %xmm14, 224(%rsp)
  movdqa %xmm15, 240(%rsp)
  movq 88(%rbp), %rdi
  call TarvelWriteCr8
  movdqa 0(%rsp), %xmm0
  movdqa 16(%rsp), %xmm1
  movdqa 32(%rsp), %xmm2
  movdqa 48(%rsp), %xmm3
  movdqa 64(%rsp), %xmm4
  movdqa 80(%rsp), %xmm5
  movdqa 96(%rsp), %xmm6
  movdqa 112(%rsp), %xmm7
  movdqa 128(%rsp), %xmm8
  movdqa 144(%rsp), %xmm9
  movdqa 160(%rsp), %xmm10
  movdqa 176(%rsp), %xmm11
  movdqa 192(%rsp), %xmm12
  movdqa 208(%rsp), %xmm13
  movdqa 224(%rsp), %xmm14
  movdqa 240(%rsp), %xmm15
  movq %rbp, %rsp
  popq %rbp
  popq %r11
  popq %r10
  popq %r9
  popq %r8
  popq %rdi
  popq %rsi
  popq %rdx
  popq %rcx
  popq %rax
  popfq
  leaq 8(%rsp), %rsp
  ret
  .size TarvelCr8WriteTrampoline, . - TarvelCr8WriteTrampoline
)");

extern "C" void TarvelWriteCr8(uint64_t irql) {
  using namespace tarvel::kernel;
  const auto target = static_cast<KIRQL>(irql);
  const KIRQL current = CurrentIrql();
  if (target > current) ke::Raise(target, "KfRaiseIrql (mov to %cr8)");
  if (target < current) ke::Lower(target, "KeLowerIrql (mov to %cr8)");
}

namespace tarvel::kernel::loader {
namespace {

struct sigaction gPreviousSegv, gPreviousIll;
bool gInstalled = false;

// The ucontext slot of general register n in the instruction encoding's order (0 = rax ... 15 = r15).
constexpr int kRegisterSlot[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                   REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// Writes a load's result: a 32-bit destination clears the upper half, as the processor does.
void SetRegister(greg_t* regs, unsigned reg, uint64_t value, unsigned bytes) {
  regs[kRegisterSlot[reg]] = static_cast<greg_t>(bytes == 4 ? uint32_t(value) : value);
}

uint64_t Register(const greg_t* regs, int reg) { return reg < 0 ? 0 : static_cast<uint64_t>(regs[kRegisterSlot[reg]]); }

// Why an instruction that decoded as one of the forms is still not performed; empty when it was.
std::string Perform(const PrivilegedInstruction& i, greg_t* regs) {
  char text[96];
  const uint64_t next = static_cast<uint64_t>(regs[REG_RIP]) + i.length;
  switch (i.form) {
    case PrivilegedForm::ReadCr8:
      SetRegister(regs, i.reg, CurrentIrql(), 8);
      break;
    case PrivilegedForm::WriteCr8: {
      const uint64_t irql = Register(regs, int(i.reg));
      if (irql > HIGH_LEVEL) {
        std::snprintf(text, sizeof text, "writes 0x%" PRIx64 " to %%cr8, which is no IRQL", irql);
        return text;
      }
      auto* stack = reinterpret_cast<uint64_t*>(regs[REG_RSP]) - 2;
      stack[0] = irql;
      stack[1] = next;
      regs[REG_RSP] = reinterpret_cast<greg_t>(stack);
      regs[REG_RIP] = reinterpret_cast<greg_t>(&TarvelCr8WriteTrampoline);
      return {};
    }
    case PrivilegedForm::LoadSharedAbsolute:
    case PrivilegedForm::LoadSharedIndirect: {
      uint64_t address = i.address;
      if (i.form == PrivilegedForm::LoadSharedIndirect)
        address = Register(regs, i.memory.base) + Register(regs, i.memory.index) * i.memory.scale +
                  static_cast<uint64_t>(i.memory.displacement);
      if (!InSharedUserPage(address, i.operandBytes)) return "reads an address outside the shared user page";
      const auto value = ReadSharedUserData(address, i.operandBytes);
      if (!value) {
        std::snprintf(text, sizeof text, "reads KUSER_SHARED_DATA+0x%" PRIx64 ", which the emulated kernel does not provide",
                      address - kSharedUserPage);
        return text;
      }
      SetRegister(regs, i.form == PrivilegedForm::LoadSharedAbsolute ? 0 : i.reg, *value, i.operandBytes);
      break;
    }
    case PrivilegedForm::SharedPageAddress:
      return "loads a constant, which cannot fault";
  }
  regs[REG_RIP] = static_cast<greg_t>(next);
  return {};
}

std::string InstructionBytes(const uint8_t* at, const MappedSection* section, const MappedImage& image) {
  std::string text;
  if (!section || section->discarded) return text;
  const uint8_t* end = image.Base() + section->rva + section->size;
  for (int n = 0; n < 12 && at + n < end; ++n) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x ", at[n]);
    text += byte;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

void Chain(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = signal == SIGILL ? gPreviousIll : gPreviousSegv;
  if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  // The default action: the instruction faults again on return and ends the process as it would have.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
}

// The report of a call or access into a discarded section. It runs as if the faulting code had called
// it, on the thread's own stack: the verifier's report is too large for the signal stack.
[[noreturn]] void StopOnDiscarded(const MappedImage* image, const void* address, const void* pc,
                                  const void* returnAddress) {
  const bool call = address == pc;
  std::string detail = image->Describe(address) + " is in a section freed after DriverEntry returned; ";
  if (call) {
    const auto caller = DescribeImageAddress(returnAddress);
    detail += "the return address on the stack is " + (caller ? *caller : exec::DescribeObject(returnAddress)) +
              ". Code that runs after DriverEntry (AddDevice, dispatch routines and what they call) must not "
              "be placed in INIT";
  } else {
    detail += "read or written by " + image->Describe(pc) + ". Data used after DriverEntry must not be placed in INIT";
  }
  const std::string routine = image->Name();
  VerifierStop(call ? "call into the discarded INIT section" : "access to the discarded INIT section",
               routine.c_str(), address, detail);
}

void RedirectToDiscardedReport(greg_t* regs, const MappedImage* image, const void* address, const void* pc) {
  const void* returnAddress = nullptr;
  if (address == pc) returnAddress = *reinterpret_cast<void* const*>(regs[REG_RSP]);
  regs[REG_RDI] = reinterpret_cast<greg_t>(image);
  regs[REG_RSI] = reinterpret_cast<greg_t>(address);
  regs[REG_RDX] = reinterpret_cast<greg_t>(pc);
  regs[REG_RCX] = reinterpret_cast<greg_t>(returnAddress);
  // Below what the faulting code had, aligned as at a call's entry.
  regs[REG_RSP] = static_cast<greg_t>(((static_cast<uint64_t>(regs[REG_RSP]) - 512) & ~uint64_t(15)) - 8);
  regs[REG_RIP] = reinterpret_cast<greg_t>(&StopOnDiscarded);
}

void OnFault(int signal, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  greg_t* regs = uc->uc_mcontext.gregs;
  const auto* pc = reinterpret_cast<const uint8_t*>(regs[REG_RIP]);
  const void* address = info->si_addr;
  const MappedImage* image = MappedImageAt(pc);
  // An access into a discarded section of any image, from anywhere.
  const MappedImage* target = signal == SIGSEGV ? MappedImageAt(address) : nullptr;
  if (target && target->SectionAt(address) && target->SectionAt(address)->discarded)
    return RedirectToDiscardedReport(regs, target, address, pc);
  if (!image) return Chain(signal, info, context);

  const MappedSection* section = image->SectionAt(pc);
  std::string why = "is not one the emulated kernel performs";
  if (section && section->Executable() && !section->discarded && InEmulatedThread()) {
    const uint8_t* end = image->Base() + section->rva + section->size;
    if (const auto instruction = DecodePrivileged({pc, static_cast<std::size_t>(end - pc)})) {
      why = Perform(*instruction, regs);
      if (why.empty()) return;
    }
  } else if (!InEmulatedThread()) {
    why = "ran outside an emulated thread";
  }
  char text[512];
  std::snprintf(text, sizeof text, "tarvel: %s in driver image %s at %p (%s): the instruction [%s] %s\n",
                signal == SIGILL ? "illegal instruction" : "fault", image->Name().c_str(), static_cast<const void*>(pc),
                image->Describe(pc).c_str(), InstructionBytes(pc, section, *image).c_str(), why.c_str());
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) {
    // nothing more can be done about a report that cannot be written
  }
  Chain(signal, info, context);
}

}  // namespace

void InstallFaultHandler() {
  if (gInstalled) return;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &gPreviousSegv);
  sigaction(SIGILL, &action, &gPreviousIll);
  gInstalled = true;
}

}  // namespace tarvel::kernel::loader
