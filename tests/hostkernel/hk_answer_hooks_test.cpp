// Test hooks that shape the platform's answers: the image-name answer of a
// process, a registry value answer, and the access of the last handle opened.
#include <cstring>

#include "io_test_support.h"
#include "hk/registry.h"

namespace {

using AnswerHooksTest = iotest::HostKernelTest;

TEST_F(AnswerHooksTest, ImageNameAnswerIsShapedAndTheProcessHandleKeepsItsAccess)
{
    PEPROCESS Process = HkPsCreateProcess(L"C:\\b.exe", nullptr);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    CLIENT_ID Client = {HkPsProcessId(Process), nullptr};
    HANDLE Handle = nullptr;
    EXPECT_EQ(HkObLastHandleAccess(*PsProcessType), 0u);
    ASSERT_EQ(ZwOpenProcess(&Handle, PROCESS_QUERY_LIMITED_INFORMATION, &Attributes, &Client), STATUS_SUCCESS);
    EXPECT_EQ(HkObLastHandleAccess(*PsProcessType), static_cast<ACCESS_MASK>(PROCESS_QUERY_LIMITED_INFORMATION));

    // Text from byte 30 of a 40-byte block: only its first 10 bytes land.
    HK_PS_IMAGE_ANSWER Shape = {STATUS_BUFFER_OVERFLOW, 40, STATUS_ACCESS_DENIED, 30, 20};
    HkPsShapeImageAnswer(Process, &Shape);
    UCHAR Block[48];
    std::memset(Block, 0xEE, sizeof(Block));
    ULONG Needed = 0;
    EXPECT_EQ(ZwQueryInformationProcess(Handle, ProcessImageFileNameWin32, Block, 39, &Needed), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Needed, 40u);
    EXPECT_EQ(Block[0], 0xEE);
    EXPECT_EQ(ZwQueryInformationProcess(Handle, ProcessImageFileNameWin32, Block, 40, &Needed), STATUS_ACCESS_DENIED);
    auto* Name = reinterpret_cast<PUNICODE_STRING>(Block);
    EXPECT_EQ(Name->Length, 20);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(Name->Buffer), Block + 30);
    EXPECT_EQ(std::memcmp(Block + 30, u"C:\\b.", 10), 0);
    EXPECT_EQ(Block[40], 0xEE);

    HkPsShapeImageAnswer(Process, nullptr);
    EXPECT_EQ(ZwQueryInformationProcess(Handle, ProcessImageFileNameWin32, Block, 16, &Needed),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Needed, 16u + 18u);
    EXPECT_EQ(ZwClose(Handle), STATUS_SUCCESS);
}

TEST_F(AnswerHooksTest, ValueAnswerPassesThroughTheQueryHook)
{
    const WCHAR Key[] = L"\\Registry\\Machine\\Software\\Hooked";
    ASSERT_EQ(HkRegCreateKey(Key), STATUS_SUCCESS);
    ASSERT_EQ(HkRegSetDword(Key, L"Word", 9), STATUS_SUCCESS);
    HANDLE Handle = nullptr;
    ASSERT_EQ(HkRegOpenKey(Key, KEY_READ, false, &Handle), STATUS_SUCCESS);
    std::u16string Seen;
    HkRegSetQueryHook([&](const std::u16string& ValueName, KEY_VALUE_INFORMATION_CLASS Class, PVOID Information,
                          ULONG Length, NTSTATUS Status) {
        Seen = ValueName;
        EXPECT_EQ(Class, KeyValueFullInformation);
        EXPECT_EQ(Status, STATUS_SUCCESS);
        static_cast<PKEY_VALUE_FULL_INFORMATION>(Information)->DataOffset = Length + 4;
        return STATUS_BUFFER_OVERFLOW;
    });
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"Word");
    UCHAR Block[64];
    ULONG Returned = 0;
    EXPECT_EQ(ZwQueryValueKey(Handle, &Name, KeyValueFullInformation, Block, sizeof(Block), &Returned),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Seen, u"Word");
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(Block)->DataOffset, sizeof(Block) + 4);

    HkRegSetQueryHook(nullptr);
    EXPECT_EQ(ZwQueryValueKey(Handle, &Name, KeyValueFullInformation, Block, sizeof(Block), &Returned),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(Handle), STATUS_SUCCESS);
}

}  // namespace
