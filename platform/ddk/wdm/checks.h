// Debug output and the checks drivers write into their code (part of wdm.h).
//
// Names of this system that the platform does not have (exports of the emulated kernel):
//   TarvelAssertFailed(expr, file, line)  ASSERT, NT_ASSERT and the list-integrity checks call it
//                                         when an assertion fails; the run stops with the message.
//   TarvelCheckPagedCode(routine)         PAGED_CODE() calls it on entry to pageable code; the
//                                         verifier stops the run when the IRQL is above APC_LEVEL.
// Unlike a free build of the platform, assertions are always checked here: the emulated platform is
// where the drivers are tested.
#pragma once

#include <ntdef.h>

extern "C" {

DECLSPEC_NORETURN VOID NTAPI TarvelAssertFailed(const char* Expression, const char* File, int Line);
VOID NTAPI TarvelCheckPagedCode(const char* Routine);

ULONG NTAPI DbgPrint(PCSTR Format, ...);
ULONG NTAPI DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
VOID NTAPI DbgBreakPoint(VOID);
VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message);

} // extern "C"

#define ASSERT(exp) ((exp) ? (void)0 : TarvelAssertFailed(#exp, __FILE__, __LINE__))
#define ASSERTMSG(msg, exp) ((exp) ? (void)0 : TarvelAssertFailed(msg, __FILE__, __LINE__))
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)

#define PAGED_CODE() TarvelCheckPagedCode(__func__)
#define PAGED_CODE_LOCKED() ((void)0)

#if DBG
#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_
#define KdBreakPoint() DbgBreakPoint()
#else
#define KdPrint(_x_) ((void)0)
#define KdPrintEx(_x_) ((void)0)
#define KdBreakPoint() ((void)0)
#endif

#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
