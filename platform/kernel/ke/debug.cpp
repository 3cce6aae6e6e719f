// Debug output and fatal errors of driver code: DbgPrint goes to the kernel's trace (and to stderr
// when TARVEL_DBGPRINT is set); assertions, breakpoints and bug checks stop the run.
#include <cstdio>
#include <cstdlib>

#include "ke/debug_format.h"
#include "ke/dispatcher.h"

using namespace tarvel::kernel;

namespace {

ULONG Emit(const char* format, __builtin_ms_va_list args) {
  std::string text = ke::FormatDebugString(format, args);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (Tracing()) Trace("debug: " + text);
  static const bool toStderr = std::getenv("TARVEL_DBGPRINT") != nullptr;
  if (toStderr) std::fprintf(stderr, "[%s] %s\n", CurrentThreadName(), text.c_str());
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  const ULONG status = Emit(Format, args);
  __builtin_ms_va_end(args);
  return status;
}

ULONG DbgPrintEx(ULONG, ULONG, PCSTR Format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, Format);
  const ULONG status = Emit(Format, args);
  __builtin_ms_va_end(args);
  return status;
}

VOID DbgBreakPoint(VOID) { exec::StopRun("BREAKPOINT: DbgBreakPoint in driver code"); }

VOID TarvelAssertFailed(const char* Expression, const char* File, int Line) {
  exec::StopRun(std::string("ASSERTION FAILED: ") + Expression + " at " + File + ":" + std::to_string(Line));
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
  exec::StopRun(std::string("ASSERTION FAILED: ") + static_cast<const char*>(FailedAssertion) + " at " +
                static_cast<const char*>(FileName) + ":" + std::to_string(LineNumber) +
                (Message ? std::string(" (") + Message + ")" : std::string()));
}

VOID KeBugCheck(ULONG BugCheckCode) { KeBugCheckEx(BugCheckCode, 0, 0, 0, 0); }

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char text[160];
  std::snprintf(text, sizeof text, "BUG CHECK 0x%08X (0x%zx, 0x%zx, 0x%zx, 0x%zx) raised by driver code", BugCheckCode,
                static_cast<std::size_t>(P1), static_cast<std::size_t>(P2), static_cast<std::size_t>(P3),
                static_cast<std::size_t>(P4));
  exec::StopRun(text);
}

}  // extern "C"
