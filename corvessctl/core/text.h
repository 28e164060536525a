// Text conversions for the management program: the driver speaks UTF-16,
// the console and JSON speak UTF-8.
#pragma once

#include <string>

namespace corvessctl {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);

// A JSON string literal (quotes included) for UTF-16 text.
std::string JsonString(const std::u16string& text);

// "0x" and eight hex digits.
std::string Hex32(uint32_t value);

}  // namespace corvessctl
