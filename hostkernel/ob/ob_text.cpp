// Object manager: 16-bit text helpers.
#include "ob/ob_internal.h"

namespace hkob {

std::u16string Text(PCWSTR text) {
    std::u16string result;
    if (text) {
        for (const WCHAR* p = text; *p; ++p) {
            result.push_back(static_cast<char16_t>(*p));
        }
    }
    return result;
}

std::u16string Text(PCUNICODE_STRING text) {
    if (!text || !text->Buffer) {
        return std::u16string();
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

std::string Utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool EqualText(const std::u16string& a, const std::u16string& b, bool caseInsensitive) {
    if (a.size() != b.size()) {
        return false;
    }
    if (!caseInsensitive) {
        return a == b;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (RtlUpcaseUnicodeChar(static_cast<WCHAR>(a[i])) != RtlUpcaseUnicodeChar(static_cast<WCHAR>(b[i]))) {
            return false;
        }
    }
    return true;
}

UNICODE_STRING Counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.data()));
    return s;
}

}  // namespace hkob
