// Object manager: 16-bit text helpers.
#include "ob/ob_internal.h"

#include "hk/text.h"

namespace hkob {

std::u16string Text(PCWSTR text) {
    return HkText(text);
}

std::u16string Text(PCUNICODE_STRING text) {
    return HkText(text);
}

std::string Utf8(const std::u16string& text) {
    return HkUtf8Text(text);
}

bool EqualText(const std::u16string& a, const std::u16string& b, bool caseInsensitive) {
    return HkEqualText(a, b, caseInsensitive);
}

UNICODE_STRING Counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.data()));
    return s;
}

}  // namespace hkob
