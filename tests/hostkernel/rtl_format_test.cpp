// swprintf and _snwprintf over 16-bit characters.
#include <gtest/gtest.h>

#include <string>

#include "hk/reset.h"
#include "ntddk.h"

namespace {

std::u16string Z(const WCHAR* s) {
    return std::u16string((const char16_t*)s);
}

TEST(RtlFormatTest, StringsAndIntegers) {
    WCHAR buffer[128];
    EXPECT_EQ(swprintf(buffer, L"\\DosDevices\\%s", L"COM3"), 16);
    EXPECT_EQ(Z(buffer), u"\\DosDevices\\COM3");
    swprintf(buffer, L"%ws-%S-%hs", L"wide", "narrow", "short");
    EXPECT_EQ(Z(buffer), u"wide-narrow-short");
    swprintf(buffer, L"%d %d %u %x %X", 42, -7, 4000000000u, 0xbeef, 0xbeef);
    EXPECT_EQ(Z(buffer), u"42 -7 4000000000 beef BEEF");
    swprintf(buffer, L"%.4d|%02d|%02d|%5d|%-5d|", 7, 3, 123, 42, 42);
    EXPECT_EQ(Z(buffer), u"0007|03|123|   42|42   |");
    swprintf(buffer, L"%.4d", 12345);
    EXPECT_EQ(Z(buffer), u"12345");
    swprintf(buffer, L"%I64u %lld %lu %#x %%", 1ULL << 40, -5LL, 7u, 255);
    EXPECT_EQ(Z(buffer), u"1099511627776 -5 7 0xff %");
}

TEST(RtlFormatTest, CountedStringsAndNull) {
    WCHAR buffer[64];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"COM12");
    name.Length = 6;  // counted, not terminated
    swprintf(buffer, L"[%wZ]", &name);
    EXPECT_EQ(Z(buffer), u"[COM]");
    swprintf(buffer, L"%s", (const WCHAR*)nullptr);
    EXPECT_EQ(Z(buffer), u"(null)");
    swprintf(buffer, L"%.2s|%c", L"abc", L'Z');
    EXPECT_EQ(Z(buffer), u"ab|Z");
}

TEST(RtlFormatTest, BoundedFormatReportsOverflow) {
    WCHAR buffer[8];
    for (WCHAR& c : buffer) {
        c = L'#';
    }
    EXPECT_EQ(_snwprintf(buffer, 8, L"%s", L"abc"), 3);
    EXPECT_EQ(Z(buffer), u"abc");
    EXPECT_EQ(_snwprintf(buffer, 4, L"%d", 1234), 4) << "exact fit: no terminator";
    EXPECT_EQ(buffer[4], L'#');
    EXPECT_EQ(_snwprintf(buffer, 4, L"%d", 12345), -1);
    EXPECT_EQ(std::u16string((const char16_t*)buffer, 4), u"1234");
    EXPECT_EQ(buffer[4], L'#') << "writes no more than the count";
}

}  // namespace
