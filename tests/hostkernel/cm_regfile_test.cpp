// .reg export and import.
#include <vector>

#include "io_test_support.h"
#include "hk/registry.h"

namespace {

const WCHAR kBase[] = L"\\Registry\\Machine\\Software\\Corvess";

using RegFileTest = iotest::HostKernelTest;

struct Stored {
    ULONG Type;
    std::vector<UCHAR> Data;
    bool operator==(const Stored& other) const { return Type == other.Type && Data == other.Data; }
};

Stored Get(PCWSTR path, PCWSTR name) {
    Stored stored{0, {}};
    EXPECT_EQ(HkRegGetValue(path, name, &stored.Type, &stored.Data), STATUS_SUCCESS);
    return stored;
}

TEST_F(RegFileTest, ExportWritesRegeditText) {
    HkRegSetString(kBase, L"Name", L"C:\\Tools\\\"q\".exe");
    HkRegSetDword(kBase, L"Count", 42);
    HkRegSetString(kBase, nullptr, L"default");
    HkRegSetValue(kBase, L"Blob", REG_BINARY, "\x01\xab", 2);
    HkRegCreateKey(L"\\Registry\\Machine\\Software\\Corvess\\Ports");

    std::string text = HkRegExport(kBase);
    EXPECT_EQ(text,
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Corvess]\n"
              "\"Name\"=\"C:\\\\Tools\\\\\\\"q\\\".exe\"\n"
              "\"Count\"=dword:0000002a\n"
              "@=\"default\"\n"
              "\"Blob\"=hex:01,ab\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Corvess\\Ports]\n"
              "\n");
}

TEST_F(RegFileTest, RoundTripOfEveryType) {
    const WCHAR multi[] = L"first\0second\0";
    const WCHAR expand[] = L"%SystemRoot%\\x";
    ULONGLONG qword = 0x0102030405060708ull;
    std::vector<UCHAR> longBinary(100);
    for (size_t i = 0; i < longBinary.size(); ++i) longBinary[i] = static_cast<UCHAR>(i * 7);
    const WCHAR unicode[] = {0x00E9, 0x4E2D, 0xD83D, 0xDE00, 0};  // é, 中, an emoji

    HkRegSetString(kBase, L"Sz", L"plain text");
    HkRegSetString(kBase, L"Unicode", unicode);
    HkRegSetString(kBase, L"Empty", L"");
    HkRegSetValue(kBase, L"NoTerminator", REG_SZ, L"ab", 4);
    HkRegSetValue(kBase, L"Expand", REG_EXPAND_SZ, expand, sizeof(expand));
    HkRegSetValue(kBase, L"Multi", REG_MULTI_SZ, multi, sizeof(multi));
    HkRegSetValue(kBase, L"Long", REG_BINARY, longBinary.data(), static_cast<ULONG>(longBinary.size()));
    HkRegSetValue(kBase, L"NoData", REG_BINARY, nullptr, 0);
    HkRegSetDword(kBase, L"Dword", 0xFFFFFFFF);
    HkRegSetValue(kBase, L"ShortDword", REG_DWORD, "\x01\x02", 2);
    HkRegSetValue(kBase, L"Qword", REG_QWORD, &qword, 8);
    HkRegSetValue(kBase, L"None", REG_NONE, "\x00", 1);
    HkRegSetValue(kBase, L"Odd \"name\" \\ here", 0x12345, "\x09", 1);
    HkRegSetString(kBase, nullptr, L"def");
    HkRegSetDword(L"\\Registry\\Machine\\Software\\Corvess\\Sub\\Deeper", L"X", 1);

    std::vector<std::u16string> names = HkRegEnumValues(kBase);
    std::vector<Stored> before;
    for (const std::u16string& name : names) before.push_back(Get(kBase, reinterpret_cast<PCWSTR>(name.c_str())));

    std::string text = HkRegExport(kBase);
    EXPECT_NE(text.find("\"Expand\"=hex(2):"), std::string::npos);
    EXPECT_NE(text.find("\"Multi\"=hex(7):"), std::string::npos);
    EXPECT_NE(text.find("\"Qword\"=hex(b):08,07,06,05,04,03,02,01"), std::string::npos);
    EXPECT_NE(text.find("\\\n  "), std::string::npos) << "long hex data is wrapped";

    ASSERT_EQ(HkRegDeleteKey(kBase), STATUS_SUCCESS);
    ASSERT_EQ(HkRegImport(text), STATUS_SUCCESS);
    EXPECT_EQ(HkRegEnumValues(kBase), names);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(Get(kBase, reinterpret_cast<PCWSTR>(names[i].c_str())), before[i]) << HkUtf8(names[i]);
    }
    EXPECT_TRUE(HkRegValueExists(L"\\Registry\\Machine\\Software\\Corvess\\Sub\\Deeper", L"X"));
    EXPECT_EQ(HkRegExport(kBase), text);
}

TEST_F(RegFileTest, ImportAcceptsRegeditVariants) {
    std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; a comment\r\n"
        "[HKLM\\Software\\Corvess\\Permissions]\r\n"
        "\"C:\\\\Tools\\\\term.exe\"=dword:7\r\n"
        "\"Wrapped\"=hex:01,02,\\\r\n"
        "  03,04\r\n"
        "@=\"x\"\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Corvess\\Permissions]\r\n"
        "\"@\"=-\r\n";
    ASSERT_EQ(HkRegImport(text), STATUS_SUCCESS);
    ULONG word = 0;
    EXPECT_EQ(HkRegGetDword(L"\\Registry\\Machine\\Software\\Corvess\\Permissions", L"c:\\tools\\TERM.exe", &word),
              STATUS_SUCCESS);
    EXPECT_EQ(word, 7u);
    EXPECT_EQ(Get(L"\\Registry\\Machine\\Software\\Corvess\\Permissions", L"Wrapped").Data,
              (std::vector<UCHAR>{1, 2, 3, 4}));

    ASSERT_EQ(HkRegImport("Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\Corvess\\Permissions]\n"
                          "@=-\n"
                          "\"Wrapped\"=-\n"),
              STATUS_SUCCESS);
    EXPECT_EQ(HkRegEnumValues(L"\\Registry\\Machine\\Software\\Corvess\\Permissions").size(), 1u);

    ASSERT_EQ(HkRegImport("Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\Software\\Corvess]\n"),
              STATUS_SUCCESS);
    EXPECT_FALSE(HkRegKeyExists(kBase));
}

TEST_F(RegFileTest, MalformedImportWritesNothing) {
    const char* bad[] = {
        "no header\n[HKEY_LOCAL_MACHINE\\Software\\Corvess]\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Corvess]\n\"A\"=dword:123456789\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Corvess]\n\"A\"=hex:1g\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Corvess]\n\"A=\"x\"\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_NOWHERE\\Corvess]\n",
        "Windows Registry Editor Version 5.00\n\n\"A\"=\"value before any key\"\n",
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Corvess]\n\"A\"=\"x\"\n"
        "\"B\"=strange\n",
    };
    for (const char* text : bad) {
        EXPECT_EQ(HkRegImport(text), STATUS_INVALID_PARAMETER) << text;
        EXPECT_FALSE(HkRegKeyExists(kBase)) << text;
    }
}

}  // namespace
