// Host-side handling of 16-bit kernel text, shared by every host kernel
// component (no library wide-character functions).
#pragma once

#include <string>

#include "nt/ntdef.h"

std::u16string HkText(PCWSTR text);             // up to the NUL; empty for null
std::u16string HkText(PCUNICODE_STRING text);   // the counted characters
std::u16string HkUpcaseText(const std::u16string& text);
bool HkEqualText(const std::u16string& a, const std::u16string& b, bool caseInsensitive);
// UTF-8 for reports and dumps; unpaired surrogates are encoded as they stand.
std::string HkUtf8Text(const std::u16string& text);
