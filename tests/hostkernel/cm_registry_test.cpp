// Registry: keys, values, the query buffer rules, access checks, the Rtl
// routines, IRQL, fault injection, and .reg export and import.
#include <cstring>
#include <vector>

#include "io_test_support.h"
#include "hk/registry.h"

namespace {

const WCHAR kServices[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const WCHAR kControl[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Control";

// A counted string over its own copy of the text.
struct Name {
    explicit Name(PCWSTR text) : Text(HkU16(text)) {
        Counted.Buffer = reinterpret_cast<PWSTR>(&Text[0]);
        Counted.Length = Counted.MaximumLength = static_cast<USHORT>(Text.size() * sizeof(WCHAR));
    }
    std::u16string Text;
    UNICODE_STRING Counted;
};

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

class CmTest : public iotest::HostKernelTest {
protected:
    NTSTATUS Open(PCWSTR path, ACCESS_MASK access, HANDLE* key) {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name.Counted, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        return ZwOpenKey(key, access, &attributes);
    }

    NTSTATUS Create(PCWSTR path, ACCESS_MASK access, HANDLE* key, ULONG* disposition = nullptr,
                    HANDLE root = nullptr, ULONG options = REG_OPTION_NON_VOLATILE) {
        Name name(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name.Counted, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                                   nullptr);
        return ZwCreateKey(key, access, &attributes, 0, nullptr, options, disposition);
    }

    NTSTATUS Set(HANDLE key, PCWSTR value, ULONG type, const void* data, ULONG size) {
        Name name(value);
        return ZwSetValueKey(key, &name.Counted, 0, type, const_cast<void*>(data), size);
    }

    NTSTATUS Query(HANDLE key, PCWSTR value, KEY_VALUE_INFORMATION_CLASS infoClass, std::vector<UCHAR>* buffer,
                   ULONG* result) {
        Name name(value);
        return ZwQueryValueKey(key, &name.Counted, infoClass, buffer->empty() ? nullptr : buffer->data(),
                               static_cast<ULONG>(buffer->size()), result);
    }
};

TEST_F(CmTest, MachineTreeExistsAfterReset) {
    EXPECT_TRUE(HkRegKeyExists(kServices));
    EXPECT_TRUE(HkRegKeyExists(kControl));
    EXPECT_TRUE(HkRegKeyExists(L"\\Registry\\Machine\\Software"));
    EXPECT_TRUE(HkRegKeyExists(L"\\Registry\\Machine\\Hardware\\DeviceMap"));
    EXPECT_TRUE(HkRegKeyExists(L"\\REGISTRY\\MACHINE\\SYSTEM\\currentcontrolset\\enum"));
    EXPECT_FALSE(HkRegKeyExists(L"\\Registry\\Machine\\Nothing"));
    EXPECT_FALSE(HkRegKeyExists(L"Registry\\Machine"));

    HkRegSetDword(kServices, L"Left", 1);
    HkReset();
    EXPECT_FALSE(HkRegValueExists(kServices, L"Left"));
}

TEST_F(CmTest, CreateKeyMakesOneLevelOnly) {
    HANDLE key = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(Create(L"\\Registry\\Machine\\Software\\A\\B", KEY_ALL_ACCESS, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(HkRegKeyExists(L"\\Registry\\Machine\\Software\\A"));

    ASSERT_EQ(Create(L"\\Registry\\Machine\\Software\\A", KEY_ALL_ACCESS, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(Create(L"\\registry\\machine\\software\\a", KEY_READ, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(HkRegKeyPath(key), u"\\Registry\\Machine\\Software\\A") << "stored case kept";

    // Relative to an open key.
    HANDLE child = nullptr;
    ASSERT_EQ(Create(L"B", KEY_ALL_ACCESS, &child, &disposition, key), STATUS_SUCCESS);
    EXPECT_EQ(HkRegKeyPath(child), u"\\Registry\\Machine\\Software\\A\\B");
    ZwClose(child);
    ZwClose(key);

    EXPECT_EQ(Create(L"Registry\\Machine\\X", KEY_READ, &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create(L"\\Registry\\Machine\\\\X", KEY_READ, &key), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(CmTest, OpenFindsKeysCaseInsensitively) {
    HkRegCreateKey(L"\\Registry\\Machine\\Software\\Corvess\\Ports");
    HANDLE key = nullptr;
    ASSERT_EQ(Open(L"\\REGISTRY\\Machine\\SOFTWARE\\corvess\\PORTS", KEY_READ, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(Open(L"\\Registry\\Machine\\Software\\Missing", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"\\Registry\\Machine\\Software\\Missing\\Deeper", KEY_READ, &key), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CmTest, ValuesKeepTypeDataAndStoredCase) {
    HANDLE key = nullptr;
    ASSERT_EQ(Create(L"\\Registry\\Machine\\Software\\V", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ULONG dword = 42;
    ULONGLONG qword = 0x1122334455667788ull;
    const WCHAR multi[] = L"one\0two\0";
    const UCHAR binary[] = {1, 2, 3};
    EXPECT_EQ(Set(key, L"Count", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, L"Big", REG_QWORD, &qword, 8), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, L"List", REG_MULTI_SZ, multi, sizeof(multi)), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, L"Blob", REG_BINARY, binary, 3), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, L"", REG_SZ, L"default", 16), STATUS_SUCCESS);
    ZwClose(key);

    EXPECT_EQ(Get(L"\\Registry\\Machine\\Software\\V", L"COUNT"), (Stored{REG_DWORD, {42, 0, 0, 0}}));
    EXPECT_EQ(Get(L"\\Registry\\Machine\\Software\\V", L"list").Data.size(), sizeof(multi));
    std::u16string text;
    ASSERT_EQ(HkRegGetString(L"\\Registry\\Machine\\Software\\V", nullptr, &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"default");
    EXPECT_EQ(HkRegEnumValues(L"\\Registry\\Machine\\Software\\V"),
              (std::vector<std::u16string>{u"Count", u"Big", u"List", u"Blob", u""}));

    // Overwriting keeps one value under the first spelling.
    HkRegSetDword(L"\\Registry\\Machine\\Software\\V", L"COUNT", 7);
    ULONG read = 0;
    EXPECT_EQ(HkRegGetDword(L"\\Registry\\Machine\\Software\\V", L"count", &read), STATUS_SUCCESS);
    EXPECT_EQ(read, 7u);
    EXPECT_EQ(HkRegEnumValues(L"\\Registry\\Machine\\Software\\V").front(), u"Count");
}

TEST_F(CmTest, PartialInformationBufferRules) {
    HkRegSetValue(L"\\Registry\\Machine\\Software\\Q", L"Data", REG_BINARY, "\x01\x02\x03\x04\x05\x06", 6);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\Software\\Q", KEY_READ, &key), STATUS_SUCCESS);
    const ULONG header = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG result = 0;

    std::vector<UCHAR> tiny(header - 1, 0xEE);
    EXPECT_EQ(Query(key, L"data", KeyValuePartialInformation, &tiny, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, header + 6);
    EXPECT_EQ(tiny, std::vector<UCHAR>(header - 1, 0xEE)) << "nothing written";

    std::vector<UCHAR> headerOnly(header + 2, 0xEE);
    EXPECT_EQ(Query(key, L"Data", KeyValuePartialInformation, &headerOnly, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, header + 6);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(headerOnly.data());
    EXPECT_EQ(partial->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(partial->DataLength, 6u);

    std::vector<UCHAR> enough(header + 6);
    EXPECT_EQ(Query(key, L"Data", KeyValuePartialInformation, &enough, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, header + 6);
    partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(enough.data());
    EXPECT_EQ(std::memcmp(partial->Data, "\x01\x02\x03\x04\x05\x06", 6), 0);

    EXPECT_EQ(Query(key, L"Missing", KeyValuePartialInformation, &enough, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(CmTest, BasicAndFullInformationLayouts) {
    ULONG dword = 0x2A;
    HkRegSetValue(L"\\Registry\\Machine\\Software\\Q", L"Abc", REG_DWORD, &dword, 4);
    HANDLE key = nullptr;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\Software\\Q", KEY_READ, &key), STATUS_SUCCESS);
    ULONG result = 0;

    std::vector<UCHAR> basic(64);
    ASSERT_EQ(Query(key, L"ABC", KeyValueBasicInformation, &basic, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 12u + 6u);
    auto* b = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(basic.data());
    EXPECT_EQ(b->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(b->NameLength, 6u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(b->Name), 3), u"Abc") << "stored case";
    std::vector<UCHAR> basicShort(11);
    EXPECT_EQ(Query(key, L"Abc", KeyValueBasicInformation, &basicShort, &result), STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> basicPart(14);
    EXPECT_EQ(Query(key, L"Abc", KeyValueBasicInformation, &basicPart, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 18u);

    std::vector<UCHAR> full(64);
    ASSERT_EQ(Query(key, L"Abc", KeyValueFullInformation, &full, &result), STATUS_SUCCESS);
    auto* f = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(full.data());
    EXPECT_EQ(f->NameLength, 6u);
    EXPECT_EQ(f->DataLength, 4u);
    EXPECT_GE(f->DataOffset, 20u + 6u);
    EXPECT_EQ(f->DataOffset % 4, 0u);
    EXPECT_EQ(result, f->DataOffset + 4);
    ULONG read = 0;
    std::memcpy(&read, full.data() + f->DataOffset, 4);
    EXPECT_EQ(read, 0x2Au);

    std::vector<UCHAR> fullShort(19);
    EXPECT_EQ(Query(key, L"Abc", KeyValueFullInformation, &fullShort, &result), STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> fullHeader(20);
    EXPECT_EQ(Query(key, L"Abc", KeyValueFullInformation, &fullHeader, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(fullHeader.data())->DataLength, 4u);
    EXPECT_EQ(Query(key, L"Abc", static_cast<KEY_VALUE_INFORMATION_CLASS>(99), &full, &result),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(CmTest, AccessIsCheckedOnKernelHandlesToo) {
    HANDLE key = nullptr;
    ULONG dword = 1;
    ASSERT_EQ(Create(L"\\Registry\\Machine\\Software\\Acc", STANDARD_RIGHTS_WRITE, &key), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, L"X", REG_DWORD, &dword, 4), STATUS_ACCESS_DENIED);
    ZwClose(key);
    EXPECT_FALSE(HkRegValueExists(L"\\Registry\\Machine\\Software\\Acc", L"X"));

    ASSERT_EQ(Open(L"\\Registry\\Machine\\Software\\Acc", KEY_WRITE, &key), STATUS_SUCCESS);
    EXPECT_EQ(Set(key, L"X", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    EXPECT_EQ(Query(key, L"X", KeyValuePartialInformation, &buffer, &result), STATUS_ACCESS_DENIED);
    ZwClose(key);

    ASSERT_EQ(Open(L"\\Registry\\Machine\\Software\\Acc", GENERIC_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, L"X", KeyValuePartialInformation, &buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_ACCESS_DENIED);
    ZwClose(key);
}

TEST_F(CmTest, DeletedKeysAndValues) {
    HkRegSetDword(L"\\Registry\\Machine\\Software\\Del\\Sub", L"V", 1);
    HANDLE parent = nullptr;
    HANDLE sub = nullptr;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\Software\\Del", KEY_ALL_ACCESS, &parent), STATUS_SUCCESS);
    ASSERT_EQ(Open(L"\\Registry\\Machine\\Software\\Del\\Sub", KEY_ALL_ACCESS, &sub), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE) << "it has a subkey";

    Name value(L"v");
    EXPECT_EQ(ZwDeleteValueKey(sub, &value.Counted), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(sub, &value.Counted), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteKey(sub), STATUS_SUCCESS);
    EXPECT_FALSE(HkRegKeyExists(L"\\Registry\\Machine\\Software\\Del\\Sub"));
    ULONG dword = 1;
    EXPECT_EQ(Set(sub, L"V", REG_DWORD, &dword, 4), STATUS_KEY_DELETED);
    ZwClose(sub);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
    ZwClose(parent);

    HkRegSetDword(L"\\Registry\\Machine\\Software\\Tree\\A\\B", L"V", 1);
    EXPECT_EQ(HkRegDeleteKey(L"\\Registry\\Machine\\Software\\Tree"), STATUS_SUCCESS);
    EXPECT_FALSE(HkRegKeyExists(L"\\Registry\\Machine\\Software\\Tree\\A"));
    EXPECT_EQ(HkRegDeleteKey(L"\\Registry\\Machine\\Software\\Tree"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CmTest, EnumerateSubkeysAndValues) {
    HkRegCreateKey(L"\\Registry\\Machine\\Software\\E\\First");
    HkRegCreateKey(L"\\Registry\\Machine\\Software\\E\\Second");
    HkRegSetDword(L"\\Registry\\Machine\\Software\\E", L"Only", 5);
    EXPECT_EQ(HkRegEnumSubkeys(L"\\Registry\\Machine\\Software\\E"),
              (std::vector<std::u16string>{u"First", u"Second"}));

    HANDLE key = nullptr;
    ASSERT_EQ(Open(L"\\Registry\\Machine\\Software\\E", KEY_READ, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(128);
    ULONG result = 0;
    ASSERT_EQ(ZwEnumerateKey(key, 1, KeyBasicInformation, buffer.data(), 128, &result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(basic->Name), basic->NameLength / 2), u"Second");
    EXPECT_EQ(ZwEnumerateKey(key, 2, KeyBasicInformation, buffer.data(), 128, &result), STATUS_NO_MORE_ENTRIES);
    ASSERT_EQ(ZwEnumerateValueKey(key, 0, KeyValueBasicInformation, buffer.data(), 128, &result), STATUS_SUCCESS);
    EXPECT_EQ(ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer.data(), 128, &result),
              STATUS_NO_MORE_ENTRIES);
    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer.data(), 128, &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(full->SubKeys, 2u);
    EXPECT_EQ(full->Values, 1u);
    EXPECT_EQ(full->MaxNameLen, 12u);
    ZwClose(key);
}

TEST_F(CmTest, RtlCreateRegistryKeyNeedsItsParent) {
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"svc\\Parameters")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"svc")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"svc\\Parameters")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"svc\\Parameters")), STATUS_SUCCESS)
        << "an existing key is fine";
    EXPECT_TRUE(HkRegKeyExists(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\svc\\Parameters"));
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"svc")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"nope")), STATUS_OBJECT_NAME_NOT_FOUND);
}

// The write hook sees each value write before it lands, with the key's
// full path; null and HkReset remove it.
TEST_F(CmTest, WriteHookRunsBeforeEachValueWrite) {
    const WCHAR kKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Corvess";
    HkRegCreateKey(kKey);
    std::vector<std::u16string> seen;
    HkRegSetWriteHook([&](const std::u16string& path, const std::u16string& name) {
        seen.push_back(path + u"|" + name + (HkRegValueExists(kKey, L"Level") ? u"|there" : u"|new"));
    });
    ULONG dword = 3;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"Corvess", L"Level", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"Corvess", L"Level", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_EQ(seen, (std::vector<std::u16string>{HkU16(kKey) + u"|Level|new", HkU16(kKey) + u"|Level|there"}));
    HkRegSetWriteHook(nullptr);
    RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"Corvess", L"Level", REG_DWORD, &dword, 4);
    HkRegSetWriteHook([&](const std::u16string&, const std::u16string&) { seen.clear(); });
    HkReset();
    HkRegCreateKey(kKey);
    RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"Corvess", L"Level", REG_DWORD, &dword, 4);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(CmTest, RtlWriteRegistryValueResolvesRelativePaths) {
    ULONG dword = 3;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"Corvess", L"Level", REG_DWORD, &dword, 4),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "the key is not created";
    HkRegCreateKey(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Corvess");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"Corvess", L"Level", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_CONTROL | RTL_REGISTRY_OPTIONAL, L"\\Corvess", nullptr, REG_SZ,
                                    const_cast<WCHAR*>(L"d"), 4),
              STATUS_SUCCESS);
    ULONG read = 0;
    EXPECT_EQ(HkRegGetDword(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Corvess", L"level", &read),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 3u);
    std::u16string text;
    EXPECT_EQ(HkRegGetString(L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Corvess", L"", &text),
              STATUS_SUCCESS);
    EXPECT_EQ(text, u"d");

    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Hardware\\DeviceMap", L"A", REG_DWORD,
                                    &dword, 4),
              STATUS_SUCCESS);
    EXPECT_TRUE(HkRegValueExists(L"\\Registry\\Machine\\Hardware\\DeviceMap", L"A"));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"", L"B", REG_DWORD, &dword, 4), STATUS_SUCCESS);
    EXPECT_TRUE(HkRegValueExists(L"\\Registry\\Machine\\Hardware\\DeviceMap", L"B"));
    EXPECT_EQ(RtlWriteRegistryValue(9, L"x", L"B", REG_DWORD, &dword, 4), STATUS_INVALID_PARAMETER);

    HANDLE key = nullptr;
    ASSERT_EQ(HkRegOpenKey(L"\\Registry\\Machine\\Hardware\\DeviceMap", KEY_READ, false, &key), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(key), L"C", REG_DWORD, &dword, 4),
              STATUS_ACCESS_DENIED);
    ZwClose(key);
}

TEST_F(CmTest, FaultInjectionPoints) {
    HANDLE key = nullptr;
    HkFaultFailNth(HkFault::RegistryCreateKey, 1);
    EXPECT_EQ(Create(L"\\Registry\\Machine\\Software\\F", KEY_ALL_ACCESS, &key), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(HkRegKeyExists(L"\\Registry\\Machine\\Software\\F"));
    ASSERT_EQ(Create(L"\\Registry\\Machine\\Software\\F", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);

    ULONG dword = 1;
    HkFaultFailNth(HkFault::RegistryWrite, 1);
    EXPECT_EQ(Set(key, L"V", REG_DWORD, &dword, 4), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(HkRegValueExists(L"\\Registry\\Machine\\Software\\F", L"V"));
    EXPECT_EQ(Set(key, L"V", REG_DWORD, &dword, 4), STATUS_SUCCESS);

    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    HkFaultFailNth(HkFault::RegistryRead, 1);
    EXPECT_EQ(Query(key, L"V", KeyValuePartialInformation, &buffer, &result), STATUS_INSUFFICIENT_RESOURCES);
    ZwClose(key);

    HkFaultFailNth(HkFault::RegistryOpenKey, 1);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Software\\F", L"W", REG_DWORD,
                                    &dword, 4),
              STATUS_INSUFFICIENT_RESOURCES);
    HkFaultFailNth(HkFault::RegistryWrite, 1);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\Machine\\Software\\F", L"W", REG_DWORD,
                                    &dword, 4),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(HkRegValueExists(L"\\Registry\\Machine\\Software\\F", L"W"));
    HkFaultFailNth(HkFault::RegistryCreateKey, 1);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(L"\\Registry\\Machine\\Software\\G")),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(HkFaultInjected(HkFault::RegistryCreateKey), 2u);
}

TEST_F(CmTest, BadArgumentsChangeNothing) {
    HANDLE key = nullptr;
    ASSERT_EQ(Create(L"\\Registry\\Machine\\Software\\Bad", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING odd = {3, 4, const_cast<PWSTR>(L"ab")};
    ULONG dword = 0;
    EXPECT_EQ(ZwSetValueKey(key, &odd, 0, REG_DWORD, &dword, 4), STATUS_INVALID_PARAMETER);
    Name name(L"N");
    EXPECT_EQ(ZwSetValueKey(key, &name.Counted, 0, REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(HkRegEnumValues(L"\\Registry\\Machine\\Software\\Bad").empty());
    ZwClose(key);
    EXPECT_EQ(ZwSetValueKey(key, &name.Counted, 0, REG_DWORD, &dword, 4), STATUS_INVALID_HANDLE);
}

TEST_F(CmTest, HostOpenAndKeyNames) {
    HANDLE key = nullptr;
    ASSERT_EQ(HkRegOpenKey(L"\\Registry\\Machine\\Software\\H\\Deep", KEY_READ, true, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(256);
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(key, KeyNameInformation, buffer.data(), 256, &result), STATUS_SUCCESS);
    auto* name = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name->Name), name->NameLength / 2),
              u"\\Registry\\Machine\\Software\\H\\Deep");
    EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, buffer.data(), 3, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 4u + name->NameLength);
    ZwClose(key);
    EXPECT_EQ(HkRegOpenKey(L"\\Registry\\Machine\\Software\\None", KEY_READ, false, &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CmTest, VolatileKeysTakeOnlyVolatileChildren) {
    HANDLE key = nullptr;
    HANDLE child = nullptr;
    ASSERT_EQ(Create(L"\\Registry\\Machine\\Software\\Vol", KEY_ALL_ACCESS, &key, nullptr, nullptr,
                     REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    EXPECT_EQ(Create(L"Child", KEY_ALL_ACCESS, &child, nullptr, key), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(Create(L"Child", KEY_ALL_ACCESS, &child, nullptr, key, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ZwClose(child);
    ZwClose(key);
}

const WCHAR kBase[] = L"\\Registry\\Machine\\Software\\Corvess";

using RegFileTest = iotest::HostKernelTest;

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
