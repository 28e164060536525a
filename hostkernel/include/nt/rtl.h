// Run-time library: memory and counted-string routines, formatting,
// assertions and debug output. All strings are 16-bit WCHAR.
#pragma once

#include <stdarg.h>
#include <string.h>

#include "nt/ntdef.h"

// ---------------------------------------------------------------- memory

// The host checks that a range inside a pool block ends inside it (a
// PoolOverrun stop otherwise, and the operation is left out; ranges outside
// the pool are not checked).
bool HkPoolCheckRange(const void* Address, SIZE_T Length, const char* What);
inline void HkRtlFill(void* Destination, SIZE_T Length, int Fill, const char* What) {
    if (HkPoolCheckRange(Destination, Length, What)) {
        memset(Destination, Fill, Length);
    }
}
inline void HkRtlCopy(void* Destination, const void* Source, SIZE_T Length, const char* What) {
    if (HkPoolCheckRange(Source, Length, What) && HkPoolCheckRange(Destination, Length, What)) {
        memmove(Destination, Source, Length);
    }
}
#ifdef __clang_analyzer__
// The static analyzer reads the driver as Windows runs it: the copy or fill
// always happens (the checked forms' skipped branch would read as garbage).
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#else
#define RtlZeroMemory(Destination, Length) HkRtlFill((Destination), (Length), 0, "RtlZeroMemory")
#define RtlFillMemory(Destination, Length, Fill) HkRtlFill((Destination), (Length), (Fill), "RtlFillMemory")
#define RtlCopyMemory(Destination, Source, Length) HkRtlCopy((Destination), (Source), (Length), "RtlCopyMemory")
#define RtlMoveMemory(Destination, Source, Length) HkRtlCopy((Destination), (Source), (Length), "RtlMoveMemory")
#endif
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
// Number of leading bytes that match.
SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

// ---------------------------------------------------------------- strings

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

#define RTL_CONSTANT_STRING(s) { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWSTR)(s) }
#define DECLARE_CONST_UNICODE_STRING(name, text) \
    const UNICODE_STRING name = { (USHORT)(sizeof(text) - sizeof(WCHAR)), (USHORT)sizeof(text), (PWSTR)(text) }

FORCEINLINE void RtlInitEmptyUnicodeString(PUNICODE_STRING String, PWCHAR Buffer, USHORT BufferSize) {
    String->Length = 0;
    String->MaximumLength = BufferSize;
    String->Buffer = Buffer;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
// Copies up to MaximumLength; NUL-terminates when there is room.
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
// STATUS_BUFFER_TOO_SMALL when the text does not fit (nothing changes);
// NUL-terminates only when there is room.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
WCHAR RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
// With AllocateDestinationString the buffer comes from paged pool and is
// released with RtlFreeUnicodeString.
NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString);
NTSTATUS RtlDuplicateUnicodeString(ULONG Flags, PCUNICODE_STRING StringIn, PUNICODE_STRING StringOut);
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSTATUS RtlStringFromGUID(const GUID& Guid, PUNICODE_STRING GuidString);
NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid);

#define RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE 1
#define RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING 2

// Length in characters of a NUL-terminated 16-bit string.
SIZE_T HkWcsLen(PCWSTR String);

// ---------------------------------------------------------------- formatting

// ntoskrnl's CRT formatting over 16-bit characters: %s and %ws take a wide
// string, %S and %hs a narrow one, %wZ a PUNICODE_STRING; %c %d %i %u %x %X
// %p %%, flags - 0 + space #, width, precision, and the l, ll, h, I64 sizes.
// swprintf is an overload distinct from the C library's.
int swprintf(WCHAR* Buffer, const WCHAR* Format, ...);
// Writes at most Count characters; returns -1 when the text (without its
// terminator) does not fit, and adds the terminator only when there is room.
int _snwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, ...);
int _vsnwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, va_list Args);

// ---------------------------------------------------------------- debug

// Narrow format; %ws/%S take wide strings, %wZ a PUNICODE_STRING. Output
// goes to stderr when the environment sets HK_DBGPRINT.
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define KdPrint(args) DbgPrint args
#define KdPrintEx(args) DbgPrintEx args

// Assertions are always checked on the host: a failure is a verifier stop.
void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message);
#define ASSERT(exp) ((exp) ? (void)0 : RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL))
#define ASSERTMSG(msg, exp) ((exp) ? (void)0 : RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)))
#define NT_ASSERT(exp) ASSERT(exp)
