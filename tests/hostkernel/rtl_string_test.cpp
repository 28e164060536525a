// Counted strings: the platform's return codes and edge cases; swprintf and
// _snwprintf over 16-bit characters.
#include "io_test_support.h"

namespace {

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string((const char16_t*)s.Buffer, s.Length / sizeof(WCHAR));
}

std::u16string Z(const WCHAR* s) {
    return std::u16string((const char16_t*)s);
}

using RtlStringTest = iotest::HostKernelTest;

TEST_F(RtlStringTest, InitCountsBytesAndHandlesNull) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"COM3");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    UNICODE_STRING c = RTL_CONSTANT_STRING(L"\\Device");
    EXPECT_EQ(c.Length, 14);
    EXPECT_EQ(c.MaximumLength, 16);
}

TEST_F(RtlStringTest, CopyTruncatesAndTerminatesOnlyWithRoom) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"ABCDEF");
    WCHAR buffer[8];
    for (WCHAR& c : buffer) {
        c = L'#';
    }
    UNICODE_STRING dest;
    RtlInitEmptyUnicodeString(&dest, buffer, 8);  // four characters
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(Text(dest), u"ABCD");
    EXPECT_EQ(buffer[4], L'#') << "no room for a terminator";

    dest.MaximumLength = sizeof(buffer);
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(Text(dest), u"ABCDEF");
    EXPECT_EQ(buffer[6], 0);

    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);
}

TEST_F(RtlStringTest, AppendRefusesWhatDoesNotFitAndChangesNothing) {
    WCHAR buffer[6];
    UNICODE_STRING dest;
    RtlInitEmptyUnicodeString(&dest, buffer, sizeof(buffer));
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"COM"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"1234"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(dest), u"COM");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"123"), STATUS_SUCCESS) << "fills the buffer exactly";
    EXPECT_EQ(Text(dest), u"COM123");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, nullptr), STATUS_SUCCESS);

    UNICODE_STRING more;
    RtlInitUnicodeString(&more, L"X");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &more), STATUS_BUFFER_TOO_SMALL);
    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &empty), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 12);
}

TEST_F(RtlStringTest, CompareAndEqualWithAndWithoutCase) {
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, L"com3");
    RtlInitUnicodeString(&b, L"COM3");
    RtlInitUnicodeString(&c, L"COM");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&b, &c, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&c, &b, FALSE), 0);
    EXPECT_TRUE(RtlPrefixUnicodeString(&c, &a, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&c, &a, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&a, &c, TRUE));
}

TEST_F(RtlStringTest, UpcaseCoversAsciiAndLatin1) {
    EXPECT_EQ(RtlUpcaseUnicodeChar(L'a'), L'A');
    EXPECT_EQ(RtlUpcaseUnicodeChar(L'z'), L'Z');
    EXPECT_EQ(RtlUpcaseUnicodeChar(L'5'), L'5');
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xe9), 0xc9);  // e acute
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xf7), 0xf7);  // division sign
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xff), 0x178);
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x101), 0x100);
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x43f), 0x41f);  // Cyrillic pe
    EXPECT_EQ(RtlDowncaseUnicodeChar(L'Q'), L'q');
    EXPECT_EQ(RtlDowncaseUnicodeChar(0xc9), 0xe9);

    UNICODE_STRING source, upper;
    RtlInitUnicodeString(&source, L"pelMonix");
    ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(upper), u"PELMONIX");
    RtlFreeUnicodeString(&upper);
    EXPECT_EQ(upper.Buffer, nullptr);
}

TEST_F(RtlStringTest, IntegerConversions) {
    WCHAR buffer[4];
    UNICODE_STRING s;
    RtlInitEmptyUnicodeString(&s, buffer, sizeof(buffer));
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &s), STATUS_BUFFER_OVERFLOW) << "needs room for the terminator";
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);

    ULONG value = 0;
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, L"  42x");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
    RtlInitUnicodeString(&text, L"0x1F");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 3, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStringTest, GuidRoundTrip) {
    const GUID guid = {0xE4011D8C, 0x04D3, 0x458C, {0x8D, 0x24, 0xA5, 0x6C, 0x50, 0x63, 0xDA, 0xF8}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(Text(text), u"{E4011D8C-04D3-458C-8D24-A56C5063DAF8}");
    EXPECT_EQ(text.Buffer[text.Length / 2], 0);
    GUID back;
    ASSERT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&back, &guid, sizeof(GUID)), 0);
    RtlFreeUnicodeString(&text);
    UNICODE_STRING bad;
    RtlInitUnicodeString(&bad, L"{E4011D8C-04D3-458C-8D24-A56C5063DAFZ}");
    EXPECT_EQ(RtlGUIDFromString(&bad, &back), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStringTest, DuplicateAndMemoryHelpers) {
    UNICODE_STRING source, copy;
    RtlInitUnicodeString(&source, L"abc");
    ASSERT_EQ(RtlDuplicateUnicodeString(RTL_DUPLICATE_UNICODE_STRING_NULL_TERMINATE, &source, &copy),
              STATUS_SUCCESS);
    EXPECT_EQ(Z(copy.Buffer), u"abc");
    EXPECT_EQ(copy.MaximumLength, 8);
    RtlFreeUnicodeString(&copy);
    EXPECT_EQ(RtlCompareMemory("abcd", "abXd", 4), 2u);
    EXPECT_EQ(HkWcsLen(L"four"), 4u);
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
