// Base types of the NT kernel, with the sizes they have on 64-bit Windows
// (LLP64), laid over LP64 Linux: LONG and ULONG stay 32-bit, the pointer-sized
// integers are 64-bit and WCHAR is 16-bit.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

#define IN
#define OUT
#define OPTIONAL
#define CONST const
// The kernel's calling convention is Microsoft's x64 convention for every
// routine, whatever the Windows headers call it. The platform's exports and
// the callbacks it receives use it on Linux too, so that a kernel image
// compiled for Windows calls the platform, and is called by it, directly.
#define NTAPI __attribute__((ms_abi))
#define __cdecl __attribute__((ms_abi))
#define __stdcall __attribute__((ms_abi))
#define FASTCALL __attribute__((ms_abi))
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define FORCEINLINE static inline __attribute__((always_inline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
// Members marked so start on an 8-byte boundary on 64-bit Windows, whatever
// precedes them (IO_STACK_LOCATION's parameter blocks rely on it).
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#define UNALIGNED
#define _ANONYMOUS_UNION __extension__ /* as mingw-w64 spells it: clang flags types nested in one otherwise */
#define _ANONYMOUS_STRUCT __extension__

#ifndef NULL
#define NULL nullptr
#endif
#define FALSE 0
#define TRUE 1

typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCSZ;
typedef unsigned char UCHAR, *PUCHAR;
typedef signed char CCHAR, *PCCHAR;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int32_t INT, *PINT;
typedef uint32_t UINT, *PUINT;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef int32_t LONG32;
typedef uint32_t ULONG32, DWORD32;
typedef int64_t LONG64;
typedef uint64_t ULONG64, DWORD64;
typedef intptr_t LONG_PTR, *PLONG_PTR, INT_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, UINT_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef LONG_PTR SSIZE_T, *PSSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef uint32_t DWORD, *PDWORD;
typedef uint16_t WORD, *PWORD;
typedef uint8_t BYTE, *PBYTE;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef char16_t WCHAR, *PWCHAR, *PWCH, *PWSTR, *LPWSTR;
typedef const WCHAR *PCWCH, *PCWSTR, *LPCWSTR;
typedef PVOID HANDLE, *PHANDLE;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef ULONG LOGICAL, *PLOGICAL;
typedef ULONG DEVICE_TYPE;
typedef ULONG EXECUTION_STATE;
typedef ULONG LCID;

typedef union _LARGE_INTEGER {
  _ANONYMOUS_STRUCT struct {
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
  _ANONYMOUS_STRUCT struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

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
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

// One definition per program whether or not INITGUID is defined: the inline
// variable folds every translation unit's copy into one object.
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

static inline int IsEqualGUID(REFGUID rguid1, REFGUID rguid2) {
  return __builtin_memcmp(&rguid1, &rguid2, sizeof(GUID)) == 0;
}
#define InlineIsEqualGUID IsEqualGUID

#define NT_SUCCESS(Status) (static_cast<NTSTATUS>(Status) >= 0)
#define NT_INFORMATION(Status) (static_cast<ULONG>(Status) >> 30 == 1)
#define NT_WARNING(Status) (static_cast<ULONG>(Status) >> 30 == 2)
#define NT_ERROR(Status) (static_cast<ULONG>(Status) >> 30 == 3)

#define FIELD_OFFSET(type, field) offsetof(type, field)
#define RTL_FIELD_SIZE(type, field) (sizeof(static_cast<type*>(nullptr)->field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<PCHAR>(address) - offsetof(type, field)))
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define C_ASSERT(e) static_assert(e, #e)

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffU
#define MAXLONG 0x7fffffff
