// Counted 16-bit strings.
#include "hk/verifier.h"
#include "nt/ex.h"
#include "nt/rtl.h"

namespace {

constexpr ULONG kStringTag = 'RtsU';
constexpr USHORT kMaxStringBytes = (MAXUSHORT & ~1) - sizeof(WCHAR);

SIZE_T Chars(PCUNICODE_STRING s) {
    return s->Length / sizeof(WCHAR);
}

PWSTR AllocateString(SIZE_T bytes) {
    return (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, kStringTag);
}

int DigitValue(WCHAR c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'z') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'Z') {
        return c - L'A' + 10;
    }
    return 99;
}

}  // namespace

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    const UCHAR* a = (const UCHAR*)Source1;
    const UCHAR* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        i++;
    }
    return i;
}

SIZE_T HkWcsLen(PCWSTR String) {
    SIZE_T n = 0;
    while (String[n]) {
        n++;
    }
    return n;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = (PWSTR)SourceString;
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T bytes = HkWcsLen(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxStringBytes) {
        bytes = kMaxStringBytes;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = (PCHAR)SourceString;
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    SIZE_T bytes = strlen(SourceString);
    if (bytes > MAXUSHORT - 1) {
        bytes = MAXUSHORT - 1;
    }
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + 1);
}

// A string's room (MaximumLength) and text (Length) lie inside its pool
// block, when it is one.
static bool StringInsideBlock(PCUNICODE_STRING String, bool room, const char* what) {
    return HkPoolCheckRange(String->Buffer, room ? String->MaximumLength : String->Length, what);
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!StringInsideBlock(DestinationString, true, "RtlCopyUnicodeString") ||
        (SourceString && !StringInsideBlock(SourceString, false, "RtlCopyUnicodeString"))) {
        return;
    }
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                            : DestinationString->MaximumLength;
    bytes &= ~1;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    USHORT bytes = Source->Length;
    if (bytes == 0) {
        return STATUS_SUCCESS;
    }
    if ((ULONG)Destination->Length + bytes > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!StringInsideBlock(Destination, true, "RtlAppendUnicodeStringToString") ||
        !StringInsideBlock(Source, false, "RtlAppendUnicodeStringToString")) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memmove((PCHAR)Destination->Buffer + Destination->Length, Source->Buffer, bytes);
    Destination->Length += bytes;
    if ((ULONG)Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source) {
        return STATUS_SUCCESS;
    }
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    SIZE_T n = Chars(String1) < Chars(String2) ? Chars(String1) : Chars(String2);
    for (SIZE_T i = 0; i < n; i++) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) {
            return (LONG)a - (LONG)b;
        }
    }
    return (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length && RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) {
        return FALSE;
    }
    UNICODE_STRING head = *String2;
    head.Length = String1->Length;
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if (c < 'a') {
        return c;
    }
    if (c <= 'z') {
        return (WCHAR)(c - ('a' - 'A'));
    }
    if (c == 0xb5) {
        return 0x39c;  // micro sign
    }
    if (c >= 0xe0 && c <= 0xfe && c != 0xf7) {
        return (WCHAR)(c - 0x20);
    }
    if (c == 0xff) {
        return 0x178;
    }
    if (c >= 0x100 && c <= 0x17f) {  // Latin Extended-A: mostly even/odd pairs
        bool pairedEvenOdd = c < 0x138 || (c >= 0x14a && c < 0x178);
        bool pairedOddEven = (c > 0x138 && c < 0x149) || (c > 0x178 && c < 0x17f);
        if (c == 0x131) {
            return 'I';
        }
        if (pairedEvenOdd && (c & 1)) {
            return (WCHAR)(c - 1);
        }
        if (pairedOddEven && !(c & 1)) {
            return (WCHAR)(c - 1);
        }
        return c;
    }
    if (c >= 0x3b1 && c <= 0x3cb && c != 0x3c2) {  // Greek
        return (WCHAR)(c - 0x20);
    }
    if (c >= 0x430 && c <= 0x44f) {  // Cyrillic
        return (WCHAR)(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45f) {
        return (WCHAR)(c - 0x50);
    }
    if (c >= 0xff41 && c <= 0xff5a) {  // fullwidth Latin
        return (WCHAR)(c - 0x20);
    }
    return c;
}

WCHAR RtlDowncaseUnicodeChar(WCHAR c) {
    if (c >= 'A' && c <= 'Z') {
        return (WCHAR)(c + ('a' - 'A'));
    }
    if (c < 0xc0) {
        return c;
    }
    if (c <= 0xde && c != 0xd7) {
        return (WCHAR)(c + 0x20);
    }
    if (c == 0x178) {
        return 0xff;
    }
    if (c >= 0x100 && c <= 0x17f) {
        if (c == 0x130) {
            return 'i';
        }
        bool pairedEvenOdd = c < 0x138 || (c >= 0x14a && c < 0x178);
        bool pairedOddEven = (c > 0x138 && c < 0x149) || (c > 0x178 && c < 0x17f);
        if (pairedEvenOdd && !(c & 1)) {
            return (WCHAR)(c + 1);
        }
        if (pairedOddEven && (c & 1)) {
            return (WCHAR)(c + 1);
        }
        return c;
    }
    if (c >= 0x391 && c <= 0x3ab && c != 0x3a2) {
        return (WCHAR)(c + 0x20);
    }
    if (c >= 0x410 && c <= 0x42f) {
        return (WCHAR)(c + 0x20);
    }
    if (c >= 0x400 && c <= 0x40f) {
        return (WCHAR)(c + 0x50);
    }
    if (c >= 0xff21 && c <= 0xff3a) {
        return (WCHAR)(c + 0x20);
    }
    return c;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString) {
    if (AllocateDestinationString) {
        PWSTR buffer = AllocateString(SourceString->Length ? SourceString->Length : sizeof(WCHAR));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = SourceString->Length;
    } else if (SourceString->Length > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (SIZE_T i = 0; i < Chars(SourceString); i++) {
        DestinationString->Buffer[i] = RtlUpcaseUnicodeChar(SourceString->Buffer[i]);
    }
    DestinationString->Length = SourceString->Length;
    return STATUS_SUCCESS;
}

NTSTATUS RtlDuplicateUnicodeString(ULONG Flags, PCUNICODE_STRING StringIn, PUNICODE_STRING StringOut) {
    if (!StringIn || !StringOut ||
        (Flags & ~(RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE | RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING))) {
        return STATUS_INVALID_PARAMETER;
    }
    bool terminate = Flags & RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE;
    if (StringIn->Length == 0 && !(Flags & RTL_DUPLICATE_UNICODE_STRING_ALLOCATE_NULL_STRING)) {
        StringOut->Length = StringOut->MaximumLength = 0;
        StringOut->Buffer = NULL;
        return STATUS_SUCCESS;
    }
    SIZE_T bytes = StringIn->Length + (terminate ? sizeof(WCHAR) : 0);
    if (bytes > MAXUSHORT) {
        return STATUS_NAME_TOO_LONG;
    }
    PWSTR buffer = AllocateString(bytes ? bytes : sizeof(WCHAR));
    if (!buffer) {
        return STATUS_NO_MEMORY;
    }
    memcpy(buffer, StringIn->Buffer, StringIn->Length);
    if (terminate) {
        buffer[Chars(StringIn)] = 0;
    }
    StringOut->Buffer = buffer;
    StringOut->Length = StringIn->Length;
    StringOut->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) {
        ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    }
    UnicodeString->Buffer = NULL;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[33];
    SIZE_T n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = (WCHAR)(d < 10 ? L'0' + d : L'A' + d - 10);
        Value /= Base;
    } while (Value);
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (SIZE_T i = 0; i < n; i++) {
        String->Buffer[i] = digits[n - 1 - i];
    }
    String->Buffer[n] = 0;
    String->Length = (USHORT)(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Value) {
        return STATUS_ACCESS_VIOLATION;
    }
    SIZE_T i = 0;
    SIZE_T n = Chars(String);
    const WCHAR* s = String->Buffer;
    while (i < n && (s[i] == L' ' || s[i] == L'\t')) {
        i++;
    }
    bool negative = false;
    if (i < n && (s[i] == L'+' || s[i] == L'-')) {
        negative = s[i] == L'-';
        i++;
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && s[i] == L'0') {
            WCHAR p = s[i + 1];
            if (p == L'x') {
                Base = 16;
            } else if (p == L'o') {
                Base = 8;
            } else if (p == L'b') {
                Base = 2;
            }
            if (Base != 10) {
                i += 2;
            }
        }
    }
    ULONG result = 0;
    for (; i < n; i++) {
        int d = DigitValue(s[i]);
        if (d >= (int)Base) {
            break;
        }
        result = result * Base + (ULONG)d;
    }
    *Value = negative ? (ULONG)(0u - result) : result;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(const GUID& Guid, PUNICODE_STRING GuidString) {
    WCHAR text[39];
    int n = swprintf(text, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Guid.Data1, Guid.Data2,
                     Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4],
                     Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
    PWSTR buffer = AllocateString(sizeof(text));
    if (!buffer) {
        return STATUS_NO_MEMORY;
    }
    memcpy(buffer, text, sizeof(text));
    GuidString->Buffer = buffer;
    GuidString->Length = (USHORT)(n * sizeof(WCHAR));
    GuidString->MaximumLength = sizeof(text);
    return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (Chars(GuidString) != sizeof(kShape) - 1) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR bytes[16];
    int nibble = 0;
    for (SIZE_T i = 0; i < sizeof(kShape) - 1; i++) {
        WCHAR c = GuidString->Buffer[i];
        if (kShape[i] != 'X') {
            if (c != (WCHAR)kShape[i]) {
                return STATUS_INVALID_PARAMETER;
            }
            continue;
        }
        int d = DigitValue(c);
        if (d > 15) {
            return STATUS_INVALID_PARAMETER;
        }
        if (nibble % 2 == 0) {
            bytes[nibble / 2] = (UCHAR)(d << 4);
        } else {
            bytes[nibble / 2] |= (UCHAR)d;
        }
        nibble++;
    }
    Guid->Data1 = ((ULONG)bytes[0] << 24) | ((ULONG)bytes[1] << 16) | ((ULONG)bytes[2] << 8) | bytes[3];
    Guid->Data2 = (USHORT)((bytes[4] << 8) | bytes[5]);
    Guid->Data3 = (USHORT)((bytes[6] << 8) | bytes[7]);
    memcpy(Guid->Data4, bytes + 8, 8);
    return STATUS_SUCCESS;
}

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
    HkVerifierStop(HkViolation::AssertFailed, "ASSERT(%s) failed at %s:%u%s%s", (const char*)FailedAssertion,
                   (const char*)FileName, LineNumber, Message ? ": " : "", Message ? Message : "");
}
