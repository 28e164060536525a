// A bounded text writer over a caller's buffer: appends never run past the
// buffer, cut the text at its last unit and keep it NUL-terminated.
#pragma once

#include "seam.h"

struct TextWriter {
    PWCHAR Buffer;
    ULONG Capacity;  // units, the NUL included
    ULONG Length;    // units written, without the NUL
};

inline void TextInit(TextWriter* Writer, PWCHAR Buffer, ULONG Capacity)
{
    Writer->Buffer = Buffer;
    Writer->Capacity = Capacity;
    Writer->Length = 0;
    Buffer[0] = 0;
}

inline void TextClear(TextWriter* Writer)
{
    Writer->Length = 0;
    Writer->Buffer[0] = 0;
}

inline ULONG TextUnits(PCWSTR Text)
{
    ULONG Units = 0;
    while (Text[Units] != 0) {
        ++Units;
    }
    return Units;
}

inline void TextAppendUnit(TextWriter* Writer, WCHAR Unit)
{
    if (Writer->Length + 1 < Writer->Capacity) {
        Writer->Buffer[Writer->Length++] = Unit;
        Writer->Buffer[Writer->Length] = 0;
    }
}

inline void TextAppend(TextWriter* Writer, PCWSTR Text)
{
    for (ULONG i = 0; Text[i] != 0 && Writer->Length + 1 < Writer->Capacity; ++i) {
        TextAppendUnit(Writer, Text[i]);
    }
}

// Decimal, with at least MinDigits digits (leading zeros), as "%.4d" does.
inline void TextAppendDecimal(TextWriter* Writer, ULONG64 Value, ULONG MinDigits)
{
    WCHAR Digits[20];
    ULONG Count = 0;
    do {
        Digits[Count++] = static_cast<WCHAR>(L'0' + Value % 10);
        Value /= 10;
    } while (Value != 0);
    for (ULONG i = Count; i < MinDigits; ++i) {
        TextAppendUnit(Writer, L'0');
    }
    while (Count != 0) {
        TextAppendUnit(Writer, Digits[--Count]);
    }
}
