// ntoskrnl's printf family over 16-bit characters, and DbgPrint.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "nt/rtl.h"

namespace {

struct Spec {
    bool Left = false;
    bool Plus = false;
    bool Space = false;
    bool Alternate = false;
    bool Zero = false;
    int Width = 0;
    int Precision = -1;
    int Size = 0;  // 0 int, 1 short, 2 long (32-bit), 3 64-bit
    bool Wide = false;
    bool Narrow = false;
};

void Pad(std::u16string& out, size_t n, char16_t c) {
    out.append(n, c);
}

void Emit(std::u16string& out, const Spec& spec, const std::u16string& body) {
    size_t width = spec.Width > 0 ? (size_t)spec.Width : 0;
    if (!spec.Left && body.size() < width) {
        Pad(out, width - body.size(), u' ');
    }
    out += body;
    if (spec.Left && body.size() < width) {
        Pad(out, width - body.size(), u' ');
    }
}

void EmitInteger(std::u16string& out, const Spec& spec, ULONG64 magnitude, bool negative, unsigned base,
                 bool upper, bool isSigned) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string number;
    if (!(spec.Precision == 0 && magnitude == 0)) {
        do {
            number.insert(number.begin(), (char16_t)digits[magnitude % base]);
            magnitude /= base;
        } while (magnitude);
    }
    if (spec.Precision > 0 && number.size() < (size_t)spec.Precision) {
        number.insert(0, (size_t)spec.Precision - number.size(), u'0');
    }
    std::u16string prefix;
    if (negative) {
        prefix = u"-";
    } else if (isSigned && spec.Plus) {
        prefix = u"+";
    } else if (isSigned && spec.Space) {
        prefix = u" ";
    }
    if (spec.Alternate && base == 16 && !number.empty()) {
        prefix += upper ? u"0X" : u"0x";
    } else if (spec.Alternate && base == 8 && (number.empty() || number[0] != u'0')) {
        prefix += u"0";
    }
    if (spec.Zero && !spec.Left && spec.Precision < 0) {
        size_t width = spec.Width > 0 ? (size_t)spec.Width : 0;
        if (prefix.size() + number.size() < width) {
            number.insert(0, width - prefix.size() - number.size(), u'0');
        }
    }
    Emit(out, spec, prefix + number);
}

std::u16string FromWide(const WCHAR* s, int precision) {
    std::u16string text;
    if (!s) {
        return u"(null)";
    }
    for (size_t i = 0; s[i] && (precision < 0 || i < (size_t)precision); i++) {
        text += (char16_t)s[i];
    }
    return text;
}

std::u16string FromNarrow(const char* s, int precision) {
    std::u16string text;
    if (!s) {
        return u"(null)";
    }
    for (size_t i = 0; s[i] && (precision < 0 || i < (size_t)precision); i++) {
        text += (char16_t)(unsigned char)s[i];
    }
    return text;
}

// Formats into out. F is the format's character type; for a wide format %s
// takes a wide string, for a narrow one a narrow string.
template <typename F>
void Format(std::u16string& out, const F* format, va_list args) {
    const bool wideFormat = sizeof(F) == sizeof(WCHAR);
    for (const F* p = format; *p; p++) {
        if (*p != '%') {
            out += (char16_t)(wideFormat ? (char16_t)*p : (char16_t)(unsigned char)*p);
            continue;
        }
        const F* start = p++;
        Spec spec;
        for (;; p++) {
            if (*p == '-') {
                spec.Left = true;
            } else if (*p == '+') {
                spec.Plus = true;
            } else if (*p == ' ') {
                spec.Space = true;
            } else if (*p == '#') {
                spec.Alternate = true;
            } else if (*p == '0') {
                spec.Zero = true;
            } else {
                break;
            }
        }
        if (*p == '*') {
            spec.Width = va_arg(args, int);
            if (spec.Width < 0) {
                spec.Left = true;
                spec.Width = -spec.Width;
            }
            p++;
        } else {
            while (*p >= '0' && *p <= '9') {
                spec.Width = spec.Width * 10 + (*p++ - '0');
            }
        }
        if (*p == '.') {
            p++;
            spec.Precision = 0;
            if (*p == '*') {
                spec.Precision = va_arg(args, int);
                p++;
            } else {
                while (*p >= '0' && *p <= '9') {
                    spec.Precision = spec.Precision * 10 + (*p++ - '0');
                }
            }
        }
        for (bool more = true; more;) {
            if (*p == 'h') {
                spec.Size = 1;
                spec.Narrow = true;
                p++;
            } else if (*p == 'l' && p[1] == 'l') {
                spec.Size = 3;
                p += 2;
            } else if (*p == 'l') {
                spec.Size = 2;
                spec.Wide = true;
                p++;
            } else if (*p == 'w') {
                spec.Wide = true;
                p++;
            } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
                spec.Size = 3;
                p += 3;
            } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
                spec.Size = 2;
                p += 3;
            } else if (*p == 'I' || *p == 'z') {
                spec.Size = 3;
                p++;
            } else {
                more = false;
            }
        }
        F c = *p;
        switch (c) {
        case 'd':
        case 'i': {
            LONG64 v = spec.Size == 3 ? va_arg(args, LONG64) : (LONG64)va_arg(args, int);
            if (spec.Size == 1) {
                v = (SHORT)v;
            }
            ULONG64 magnitude = v < 0 ? (ULONG64)0 - (ULONG64)v : (ULONG64)v;
            EmitInteger(out, spec, magnitude, v < 0, 10, false, true);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            ULONG64 v = spec.Size == 3 ? va_arg(args, ULONG64) : (ULONG64)va_arg(args, unsigned int);
            if (spec.Size == 1) {
                v = (USHORT)v;
            }
            unsigned base = c == 'u' ? 10 : c == 'o' ? 8 : 16;
            EmitInteger(out, spec, v, false, base, c == 'X', false);
            break;
        }
        case 'p': {
            Spec pointer = spec;
            pointer.Precision = 16;
            EmitInteger(out, pointer, (ULONG64)(ULONG_PTR)va_arg(args, void*), false, 16, true, false);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            bool wide = spec.Wide || (!spec.Narrow && ((c == 'c') == wideFormat));
            char16_t ch = wide ? (char16_t)v : (char16_t)(unsigned char)v;
            Emit(out, spec, std::u16string(1, ch));
            break;
        }
        case 's':
        case 'S': {
            bool wide = spec.Wide || (!spec.Narrow && ((c == 's') == wideFormat));
            if (wide) {
                Emit(out, spec, FromWide(va_arg(args, const WCHAR*), spec.Precision));
            } else {
                Emit(out, spec, FromNarrow(va_arg(args, const char*), spec.Precision));
            }
            break;
        }
        case 'Z': {
            if (spec.Wide) {
                const UNICODE_STRING* s = va_arg(args, const UNICODE_STRING*);
                std::u16string text = u"(null)";
                if (s && s->Buffer) {
                    text.assign((const char16_t*)s->Buffer, s->Length / sizeof(WCHAR));
                }
                Emit(out, spec, text);
            } else {
                const ANSI_STRING* s = va_arg(args, const ANSI_STRING*);
                std::u16string text = u"(null)";
                if (s && s->Buffer) {
                    text.clear();
                    for (USHORT i = 0; i < s->Length; i++) {
                        text += (char16_t)(unsigned char)s->Buffer[i];
                    }
                }
                Emit(out, spec, text);
            }
            break;
        }
        case '%':
            out += u'%';
            break;
        default:
            // Unknown conversion: copied as written.
            for (const F* q = start; q <= p && *q; q++) {
                out += (char16_t)*q;
            }
            if (!c) {
                return;
            }
            break;
        }
    }
}

int Store(WCHAR* buffer, SIZE_T count, const std::u16string& text) {
    size_t n = text.size();
    size_t copy = n < count ? n : count;
    memcpy(buffer, text.data(), copy * sizeof(WCHAR));
    if (n < count) {
        buffer[n] = 0;
    }
    return n <= count ? (int)n : -1;
}

std::string ToUtf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xc0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3f));
        } else {
            out += (char)(0xe0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3f));
            out += (char)(0x80 | (c & 0x3f));
        }
    }
    return out;
}

ULONG Print(PCSTR format, va_list args) {
    std::u16string text;
    Format(text, format, args);
    static const bool echo = getenv("HK_DBGPRINT") != nullptr;
    if (echo) {
        fputs(ToUtf8(text).c_str(), stderr);
    }
    return STATUS_SUCCESS;
}

}  // namespace

int _vsnwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, va_list Args) {
    std::u16string text;
    ::Format(text, Format, Args);
    return Store(Buffer, Count, text);
}

int _snwprintf(WCHAR* Buffer, SIZE_T Count, const WCHAR* Format, ...) {
    va_list args;
    va_start(args, Format);
    int n = _vsnwprintf(Buffer, Count, Format, args);
    va_end(args);
    return n;
}

int swprintf(WCHAR* Buffer, const WCHAR* Format, ...) {
    va_list args;
    va_start(args, Format);
    std::u16string text;
    ::Format(text, Format, args);
    va_end(args);
    return Store(Buffer, text.size() + 1, text);
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = Print(Format, args);
    va_end(args);
    return status;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    (void)ComponentId;
    (void)Level;
    va_list args;
    va_start(args, Format);
    ULONG status = Print(Format, args);
    va_end(args);
    return status;
}
