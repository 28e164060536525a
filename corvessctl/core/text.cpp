#include "text.h"

#include <cstdint>
#include <cstdio>

namespace corvessctl {

namespace {

constexpr char32_t Replacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Next code point of UTF-16 text at pos, advancing pos.
char32_t NextCodePoint(const std::u16string& text, size_t& pos) {
    char16_t unit = text[pos++];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (pos < text.size() && text[pos] >= 0xDC00 && text[pos] <= 0xDFFF) {
            char16_t low = text[pos++];
            return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
        }
        return Replacement;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) return Replacement;
    return unit;
}

}  // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) AppendUtf8(out, NextCodePoint(text, pos));
    return out;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    size_t pos = 0;
    while (pos < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[pos]);
        size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 4;
        char32_t cp = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
        bool ok = extra < 4;
        for (size_t i = 1; ok && i <= extra; ++i) {
            if (pos + i >= text.size()) { ok = false; break; }
            unsigned char next = static_cast<unsigned char>(text[pos + i]);
            if ((next & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (next & 0x3F);
        }
        static const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (ok && (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            out += static_cast<char16_t>(Replacement);
            ++pos;
            continue;
        }
        pos += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string JsonString(const std::u16string& text) {
    std::string out = "\"";
    for (size_t pos = 0; pos < text.size();) {
        char32_t cp = NextCodePoint(text, pos);
        switch (cp) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (cp < 0x20 || cp == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
                out += escaped;
            } else {
                AppendUtf8(out, cp);
            }
        }
    }
    out += '"';
    return out;
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

}  // namespace corvessctl
