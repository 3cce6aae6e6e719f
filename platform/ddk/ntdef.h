// Basic types of the platform (ntdef.h) for the LP64 Linux build of the emulated kernel and its
// drivers. The sizes are those of 64-bit Windows: LONG and ULONG are 32 bits, pointers and the
// *_PTR types 64 bits, WCHAR 16 bits (the build compiles with -fshort-wchar).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifndef __cplusplus
#error "the driver-kit headers of this platform are C++ only"
#endif

// Annotations and calling conventions. The x64 platform has one calling convention, the Microsoft
// x64 one; NTAPI carries it here too, on every kernel export and every callback type, so that a
// driver module built for the host and a driver image built for the platform meet the kernel with
// the same ABI. A driver routine declared without its callback type then fails to compile.
#define IN
#define OUT
#define OPTIONAL
#define NTAPI __attribute__((ms_abi))
#define NTSYSAPI
#define NTSYSCALLAPI
#define NTKERNELAPI
#define NTHALAPI
#define WINAPI
#define CALLBACK
#define FASTCALL
#define DDKAPI
#define STDCALL
#define __cdecl
#define __stdcall
#define __fastcall
#define CONST const
#define VOID void
#define RESTRICTED_POINTER
#define UNALIGNED
#define DECLSPEC_IMPORT
#define DECLSPEC_EXPORT
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define FORCEINLINE inline __attribute__((always_inline))
#define NTAPI_INLINE
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#define C_ASSERT(e) static_assert(e, #e)

// The common source annotations, empty here as in a build without code analysis.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_z_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_opt_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_opt_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_bytes_to_(n, c)
#define _Inout_updates_(n)
#define _Inout_updates_bytes_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Ret_maybenull_
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(e)
#define _When_(e, a)
#define _Pre_satisfies_(e)
#define _Post_satisfies_(e)
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(k, p)
#define _IRQL_restores_global_(k, p)
#define _IRQL_always_function_min_(x)
#define _IRQL_always_function_max_(x)
#define _Requires_lock_held_(l)
#define _Requires_lock_not_held_(l)
#define _Acquires_lock_(l)
#define _Releases_lock_(l)
#define _Kernel_float_used_
#define _Analysis_assume_(e)
#define __drv_aliasesMem
#define __drv_allocatesMem(k)
#define __drv_freesMem(k)
#define __drv_dispatchType(x)
#define __drv_functionClass(x)
#define __drv_maxIRQL(x)
#define __drv_requiresIRQL(x)
#define __drv_sameIRQL
#define __drv_savesIRQL
#define __drv_restoresIRQL
#define __drv_setsIRQL(x)
#define __drv_when(e, a)

// Integer types.
typedef void* PVOID;
typedef char CHAR, CCHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCCHAR, *PCSTR, *LPCSTR;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT, CSHORT, *PSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int LONG, *PLONG, INT, *PINT;
typedef unsigned int ULONG, *PULONG, UINT, *PUINT, DWORD, *PDWORD, LOGICAL, *PLOGICAL;
typedef long long LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64, *PINT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, DWORD64, *PDWORD64, UINT64, *PUINT64;
typedef signed char INT8, *PINT8;
typedef unsigned char UINT8, *PUINT8;
typedef short INT16, *PINT16;
typedef unsigned short UINT16, *PUINT16;
typedef int INT32, *PINT32, LONG32, *PLONG32;
typedef unsigned int UINT32, *PUINT32, ULONG32, *PULONG32, DWORD32, *PDWORD32;
typedef intptr_t LONG_PTR, *PLONG_PTR, INT_PTR, *PINT_PTR, SSIZE_T, *PSSIZE_T;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, UINT_PTR, *PUINT_PTR, SIZE_T, *PSIZE_T, DWORD_PTR, *PDWORD_PTR;
typedef ULONG_PTR KAFFINITY, *PKAFFINITY;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef int BOOL, *PBOOL;
typedef float FLOAT;
typedef double DOUBLE;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef LONG KPRIORITY;
typedef ULONG EXECUTION_STATE;
typedef ULONG LCID;
typedef ULONG CLONG;
typedef CCHAR KPROCESSOR_MODE;

typedef wchar_t WCHAR, *PWCHAR, *PWCH, *PWSTR, *LPWSTR, *NWPSTR;
typedef const wchar_t *PCWCH, *PCWSTR, *LPCWSTR;
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits: compile with -fshort-wchar");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(LONGLONG) == 8, "LLP64 integer sizes");
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID) && sizeof(SIZE_T) == 8, "64-bit pointers");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONGLONG (0x7fffffffffffffffLL)
#define MAXULONG_PTR (~((ULONG_PTR)0))
#define MAXLONG_PTR ((LONG_PTR)(MAXULONG_PTR >> 1))
#define MAXSIZE_T ((SIZE_T) ~((SIZE_T)0))
#define ANYSIZE_ARRAY 1

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_PARAMETER(P) ((void)(P))
#define DBG_UNREFERENCED_LOCAL_VARIABLE(V) ((void)(V))

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment)-1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment)-1), alignment))

#define MAKEWORD(a, b) ((USHORT)(((UCHAR)(a)) | ((USHORT)((UCHAR)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((USHORT)(a)) | ((ULONG)((USHORT)(b))) << 16))
#define LOWORD(l) ((USHORT)((ULONG_PTR)(l)&0xffff))
#define HIWORD(l) ((USHORT)((ULONG_PTR)(l) >> 16))
#define LOBYTE(w) ((UCHAR)((ULONG_PTR)(w)&0xff))
#define HIBYTE(w) ((UCHAR)((ULONG_PTR)(w) >> 8))

// 64-bit values with their 32-bit halves, as the platform lays them out (little endian).
typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

// Doubly and singly linked lists; the routines that work on them are in wdm.h.
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY, *RESTRICTED_POINTER PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

// Counted strings: Length and MaximumLength are in bytes, Buffer need not end in a zero.
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING *PCSTRING, *PCANSI_STRING, *PCOEM_STRING;

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

// Initialises a counted string from a literal at compile time.
#define RTL_CONSTANT_STRING(s)                                                                               \
    { sizeof(s) - sizeof((s)[0]), sizeof(s), (decltype(_RTL_CONSTANT_STRING_type_check(s)))(s) }
extern "C++" {
inline PWSTR _RTL_CONSTANT_STRING_type_check(const WCHAR*) {
    return nullptr;
}
inline PCHAR _RTL_CONSTANT_STRING_type_check(const CHAR*) {
    return nullptr;
}
}
#define DECLARE_CONST_UNICODE_STRING(name, s) const UNICODE_STRING name = RTL_CONSTANT_STRING(s)

// Object attributes, as ZwOpenKey and friends take them.
typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

#define InitializeObjectAttributes(p, n, a, r, s)                                                            \
    do {                                                                                                     \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                             \
        (p)->RootDirectory = (r);                                                                            \
        (p)->Attributes = (a);                                                                               \
        (p)->ObjectName = (n);                                                                               \
        (p)->SecurityDescriptor = (s);                                                                       \
        (p)->SecurityQualityOfService = NULL;                                                                \
    } while (0)

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef enum _NT_PRODUCT_TYPE { NtProductWinNt = 1, NtProductLanManNt, NtProductServer } NT_PRODUCT_TYPE;

#include <guiddef.h>
