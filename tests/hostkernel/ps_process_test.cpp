// Processes: ids, the current process, the queries through the current
// process and through ZwOpenProcess handles, and broken records; test hooks
// that shape the platform's answers: the image-name answer of a process, a
// registry value answer, and the access of the last handle opened.
#include <cstring>
#include <vector>

#include "io_test_support.h"
#include "hk/registry.h"

namespace {

const WCHAR kTerm[] = L"C:\\Tools\\term.exe";

class PsTest : public iotest::HostKernelTest {
protected:
    NTSTATUS OpenById(HANDLE id, ACCESS_MASK access, HANDLE* process) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        CLIENT_ID client = {id, nullptr};
        return ZwOpenProcess(process, access, &attributes, &client);
    }

    // The Win32 or NT image name through a handle.
    NTSTATUS ImageName(HANDLE process, PROCESSINFOCLASS infoClass, std::u16string* name) {
        std::vector<UCHAR> buffer(512);
        ULONG needed = 0;
        NTSTATUS status =
            ZwQueryInformationProcess(process, infoClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (NT_SUCCESS(status)) {
            auto* text = reinterpret_cast<PUNICODE_STRING>(buffer.data());
            name->assign(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2);
        }
        return status;
    }

    std::u16string ImagePathFromPeb() {
        PROCESS_BASIC_INFORMATION info = {};
        ULONG length = 0;
        EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(length, sizeof(info));
        if (info.PebBaseAddress == nullptr || info.PebBaseAddress->ProcessParameters == nullptr) return u"<null>";
        const UNICODE_STRING& image = info.PebBaseAddress->ProcessParameters->ImagePathName;
        return std::u16string(reinterpret_cast<const char16_t*>(image.Buffer), image.Length / 2);
    }
};

TEST_F(PsTest, ProcessesHaveUniqueIdsAndTheSystemIsTheDefault) {
    PEPROCESS a = HkPsCreateProcess(kTerm);
    PEPROCESS b = HkPsCreateProcess(L"C:\\Other.exe");
    ULONG_PTR idA = reinterpret_cast<ULONG_PTR>(HkPsProcessId(a));
    ULONG_PTR idB = reinterpret_cast<ULONG_PTR>(HkPsProcessId(b));
    EXPECT_NE(idA, idB);
    EXPECT_EQ(idA % 4, 0u);
    EXPECT_EQ(idB % 4, 0u);

    EXPECT_EQ(PsGetCurrentProcess(), HkPsSystemProcess());
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
    {
        HkProcessContext context(a);
        EXPECT_EQ(PsGetCurrentProcess(), a);
        EXPECT_EQ(PsGetCurrentProcessId(), HkPsProcessId(a));
        {
            HkProcessContext inner(b);
            EXPECT_EQ(IoGetCurrentProcess(), b);
        }
        EXPECT_EQ(PsGetCurrentProcess(), a);
    }
    EXPECT_EQ(PsGetCurrentProcess(), HkPsSystemProcess());
    HkPsDestroyProcess(a);
    HkPsDestroyProcess(b);
}

TEST_F(PsTest, CurrentProcessQueries) {
    PEPROCESS process = HkPsCreateProcess(kTerm);
    HkProcessContext context(process);
    EXPECT_EQ(ImagePathFromPeb(), u"C:\\Tools\\term.exe");

    PROCESS_BASIC_INFORMATION info = {};
    ULONG length = 0;
    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, &info, sizeof(info) - 1, &length),
              STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(ZwQueryInformationProcess(ZwCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(info.UniqueProcessId, reinterpret_cast<ULONG_PTR>(HkPsProcessId(process)));
    EXPECT_EQ(info.InheritedFromUniqueProcessId, 4u);
    EXPECT_EQ(info.ExitStatus, STATUS_PENDING);

    std::u16string name;
    EXPECT_EQ(ImageName(NtCurrentProcess(), ProcessImageFileNameWin32, &name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"C:\\Tools\\term.exe");
    EXPECT_EQ(ImageName(NtCurrentProcess(), ProcessImageFileName, &name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"\\Device\\HarddiskVolume1\\Tools\\term.exe");
    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessTimes, &info, sizeof(info), &length),
              STATUS_INVALID_INFO_CLASS);
}

TEST_F(PsTest, ImageNameNeedsRoomForTheWholeString) {
    PEPROCESS process = HkPsCreateProcess(L"D:\\x.exe");
    HkProcessContext context(process);
    const ULONG needed = sizeof(UNICODE_STRING) + 9 * sizeof(WCHAR);
    std::vector<UCHAR> buffer(needed, 0xEE);
    ULONG length = 0;
    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileNameWin32, buffer.data(), needed - 1,
                                        &length),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(length, needed);
    ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessImageFileNameWin32, buffer.data(), needed, &length),
              STATUS_SUCCESS);
    auto* name = reinterpret_cast<PUNICODE_STRING>(buffer.data());
    EXPECT_EQ(name->Length, 16u);
    EXPECT_EQ(name->Buffer[8], L'\0') << "terminated";
    EXPECT_EQ(reinterpret_cast<UCHAR*>(name->Buffer), buffer.data() + sizeof(UNICODE_STRING));

    std::u16string nt;
    EXPECT_EQ(ImageName(NtCurrentProcess(), ProcessImageFileName, &nt), STATUS_SUCCESS);
    EXPECT_EQ(nt, u"\\Device\\HarddiskVolume2\\x.exe");
}

TEST_F(PsTest, OpenProcessById) {
    PEPROCESS process = HkPsCreateProcess(kTerm);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenById(HkPsProcessId(process), PROCESS_QUERY_LIMITED_INFORMATION, &handle), STATUS_SUCCESS);
    std::u16string name;
    EXPECT_EQ(ImageName(handle, ProcessImageFileNameWin32, &name), STATUS_SUCCESS);
    EXPECT_EQ(name, u"C:\\Tools\\term.exe");
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *PsProcessType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(object, process);
    ObDereferenceObject(object);
    ZwClose(handle);

    ASSERT_EQ(OpenById(HkPsProcessId(process), SYNCHRONIZE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ImageName(handle, ProcessImageFileNameWin32, &name), STATUS_ACCESS_DENIED);
    ZwClose(handle);

    EXPECT_EQ(OpenById(reinterpret_cast<HANDLE>(0x7FF0), PROCESS_QUERY_INFORMATION, &handle), STATUS_INVALID_PARAMETER);
    HANDLE id = HkPsProcessId(process);
    HkPsDestroyProcess(process);
    EXPECT_EQ(OpenById(id, PROCESS_QUERY_INFORMATION, &handle), STATUS_INVALID_PARAMETER) << "gone after destroy";
}

TEST_F(PsTest, MalformedRecords) {
    PEPROCESS process = HkPsCreateProcess(kTerm);
    HkProcessContext context(process);
    PROCESS_BASIC_INFORMATION info = {};
    ULONG length = 0;

    HkPsSetMalformed(process, HkPsNullPeb);
    ASSERT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(info.PebBaseAddress, nullptr);

    HkPsSetMalformed(process, HkPsNullParameters);
    EXPECT_EQ(ImagePathFromPeb(), u"<null>");

    HkPsSetMalformed(process, HkPsNullImagePath);
    EXPECT_EQ(HkPsPeb(process)->ProcessParameters->ImagePathName.Buffer, nullptr);
    EXPECT_NE(HkPsPeb(process)->ProcessParameters->ImagePathName.Length, 0u);

    HkPsSetMalformed(process, HkPsGarbageImageLength);
    const UNICODE_STRING& image = HkPsPeb(process)->ProcessParameters->ImagePathName;
    EXPECT_GT(image.Length, image.MaximumLength);
    EXPECT_EQ(image.Length % 2, 1u);

    HkPsSetMalformed(process, HkPsNoImage);
    std::u16string name = u"x";
    EXPECT_EQ(ImageName(NtCurrentProcess(), ProcessImageFileNameWin32, &name), STATUS_SUCCESS);
    EXPECT_TRUE(name.empty());

    HkPsSetMalformed(process, HkPsQueryFails);
    EXPECT_EQ(ZwQueryInformationProcess(NtCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), &length),
              STATUS_ACCESS_DENIED);

    HkPsSetMalformed(process, HkPsWellFormed);
    EXPECT_EQ(ImagePathFromPeb(), u"C:\\Tools\\term.exe");
}

TEST_F(PsTest, QueryFaultInjectionAndIrql) {
    PEPROCESS process = HkPsCreateProcess(kTerm);
    HkProcessContext context(process);
    std::u16string name;
    HkFaultFailNth(HkFault::ProcessQuery, 1);
    EXPECT_EQ(ImageName(NtCurrentProcess(), ProcessImageFileNameWin32, &name), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ImageName(NtCurrentProcess(), ProcessImageFileNameWin32, &name), STATUS_SUCCESS);

    HkVerifierCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = ImageName(NtCurrentProcess(), ProcessImageFileNameWin32, &name);
    KeLowerIrql(old);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(capture.Count(HkViolation::IrqlTooHigh), 1u);
}

TEST_F(PsTest, ResetForgetsEveryProcess) {
    PEPROCESS first = HkPsCreateProcess(kTerm);
    HANDLE firstId = HkPsProcessId(first);
    HkPsAttachThread(first);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenById(firstId, PROCESS_QUERY_INFORMATION, &handle), STATUS_SUCCESS);

    HkReset();
    EXPECT_EQ(HkObLiveObjects(*PsProcessType), 0u);
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4)) << "back in the system process";
    PEPROCESS again = HkPsCreateProcess(kTerm);
    EXPECT_EQ(HkPsProcessId(again), firstId) << "ids start over";
    HkPsDestroyProcess(again);
}

using AnswerHooksTest = PsTest;

TEST_F(AnswerHooksTest, ImageNameAnswerIsShapedAndTheProcessHandleKeepsItsAccess)
{
    PEPROCESS Process = HkPsCreateProcess(L"C:\\b.exe", nullptr);
    HANDLE Handle = nullptr;
    EXPECT_EQ(HkObLastHandleAccess(*PsProcessType), 0u);
    ASSERT_EQ(OpenById(HkPsProcessId(Process), PROCESS_QUERY_LIMITED_INFORMATION, &Handle), STATUS_SUCCESS);
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
