// Object manager: the namespace, symbolic links, handles and reference
// counting.
#include <functional>

#include "io_test_support.h"

using namespace iotest;

namespace {

class ObNamespaceTest : public HostKernelTest {};

NTSTATUS OpenLink(PCWSTR name, ULONG attributes, HANDLE* handle) {
    UNICODE_STRING nameString = Us(name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &nameString, attributes, nullptr, nullptr);
    return ZwOpenSymbolicLinkObject(handle, 0x80, &oa);
}

NTSTATUS CreateLink(PCWSTR link, PCWSTR target) {
    UNICODE_STRING linkString = Us(link);
    UNICODE_STRING targetString = Us(target);
    return IoCreateSymbolicLink(&linkString, &targetString);
}

NTSTATUS DeleteLink(PCWSTR link) {
    UNICODE_STRING linkString = Us(link);
    return IoDeleteSymbolicLink(&linkString);
}

TEST_F(ObNamespaceTest, StandardDirectoriesAndDosAliases) {
    EXPECT_TRUE(HkObNameExists(L"\\Device"));
    EXPECT_TRUE(HkObNameExists(L"\\Driver"));
    EXPECT_TRUE(HkObNameExists(L"\\GLOBAL??"));
    EXPECT_TRUE(HkObNameExists(L"\\Sessions\\0\\DosDevices"));
    std::u16string target;
    ASSERT_TRUE(HkObQueryLinkTarget(L"\\DosDevices", &target));
    EXPECT_EQ(target, u"\\??");
    ASSERT_TRUE(HkObQueryLinkTarget(L"\\GLOBAL??\\Global", &target));
    EXPECT_EQ(target, u"\\GLOBAL??");
    // \?? is no link object but the current process's DosDevices directory.
    EXPECT_TRUE(HkObNameExists(L"\\??"));
    EXPECT_FALSE(HkObQueryLinkTarget(L"\\??", &target));
    EXPECT_EQ(HkObListDirectory(L"\\??"), HkObListDirectory(L"\\GLOBAL??"));
}

TEST_F(ObNamespaceTest, LinkMadeThroughDosDevicesLandsInGlobal) {
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial2"), STATUS_SUCCESS);
    std::u16string target;
    ASSERT_TRUE(HkObQueryLinkTarget(L"\\GLOBAL??\\COM3", &target));
    EXPECT_EQ(target, u"\\Device\\Serial2");
    // The same link under each of its names.
    for (PCWSTR name : {L"\\??\\COM3", L"\\DosDevices\\Global\\COM3", L"\\GLOBAL??\\Global\\COM3"}) {
        target.clear();
        EXPECT_TRUE(HkObQueryLinkTarget(name, &target));
        EXPECT_EQ(target, u"\\Device\\Serial2");
    }
    EXPECT_EQ(CreateLink(L"\\??\\COM3", L"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(DeleteLink(L"\\GLOBAL??\\COM3"), STATUS_SUCCESS);
    EXPECT_FALSE(HkObNameExists(L"\\DosDevices\\COM3"));
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM3"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(HkObListLocalDosLinks().empty());
}

// A thread of a user's process has a local DosDevices directory: a name it
// creates under \DosDevices lands there, unseen by other sessions, and hides
// a global name of its own spelling; a lookup tries local, then global.
TEST_F(ObNamespaceTest, UserProcessesHaveLocalDosDevices) {
    PEPROCESS a = HkPsCreateProcess(L"C:\\A\\a.exe");
    PEPROCESS child = HkPsCreateProcess(L"C:\\A\\child.exe", a);
    PEPROCESS b = HkPsCreateProcess(L"C:\\B\\b.exe");
    PEPROCESS system = HkPsSystemProcess();
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial2"), STATUS_SUCCESS);  // system: global
    auto in = [](PEPROCESS process, const std::function<NTSTATUS()>& call) {
        HkProcessContext context(process);
        return call();
    };
    EXPECT_EQ(in(a, [] { return CreateLink(L"\\DosDevices\\COM4", L"\\Device\\Local4"); }), STATUS_SUCCESS);
    EXPECT_EQ(in(a, [] { return CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Local3"); }), STATUS_SUCCESS);
    EXPECT_EQ(in(b, [] { return CreateLink(L"\\DosDevices\\Global\\COM5", L"\\Device\\Global5"); }),
              STATUS_SUCCESS);
    struct Case {
        PEPROCESS Process;
        PCWSTR Name;
        const char16_t* Target;  // null: no such link
    };
    const Case cases[] = {
        {a, L"\\??\\COM4", u"\\Device\\Local4"},       {child, L"\\DosDevices\\COM4", u"\\Device\\Local4"},
        {b, L"\\??\\COM4", nullptr},                     {system, L"\\??\\COM4", nullptr},
        {a, L"\\??\\COM3", u"\\Device\\Local3"},       {a, L"\\??\\Global\\COM3", u"\\Device\\Serial2"},
        {b, L"\\??\\COM3", u"\\Device\\Serial2"},      {system, L"\\GLOBAL??\\COM3", u"\\Device\\Serial2"},
        {a, L"\\??\\COM5", u"\\Device\\Global5"},      {system, L"\\??\\COM5", u"\\Device\\Global5"},
    };
    for (const Case& c : cases) {
        std::u16string target;
        bool found = false;
        {
            HkProcessContext context(c.Process);
            found = HkObQueryLinkTarget(c.Name, &target);
        }
        EXPECT_EQ(found, c.Target != nullptr) << HkPsProcessId(c.Process);
        if (c.Target) {
            EXPECT_EQ(target, c.Target);
        }
    }
    auto local = HkObListLocalDosLinks();
    ASSERT_EQ(local.size(), 2u);
    std::u16string session = u"\\Sessions\\0\\DosDevices\\00000000-000003e8\\";
    EXPECT_EQ(local[0], std::make_pair(session + u"COM3", std::u16string(u"\\Device\\Local3")));
    EXPECT_EQ(local[1], std::make_pair(session + u"COM4", std::u16string(u"\\Device\\Local4")));
    // A delete from the session takes the local name first, then the global.
    EXPECT_EQ(in(a, [] { return DeleteLink(L"\\DosDevices\\COM3"); }), STATUS_SUCCESS);
    EXPECT_TRUE(HkObNameExists(L"\\GLOBAL??\\COM3"));
    EXPECT_EQ(in(child, [] { return DeleteLink(L"\\DosDevices\\COM3"); }), STATUS_SUCCESS);
    EXPECT_FALSE(HkObNameExists(L"\\GLOBAL??\\COM3"));
    EXPECT_EQ(in(a, [] { return DeleteLink(L"\\DosDevices\\COM4"); }), STATUS_SUCCESS);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM5"), STATUS_SUCCESS);
    EXPECT_TRUE(HkObListLocalDosLinks().empty());
    HkPsDestroyProcess(child);
    HkPsDestroyProcess(a);
    HkPsDestroyProcess(b);
}

TEST_F(ObNamespaceTest, MissingDirectoryIsAPathError) {
    EXPECT_EQ(CreateLink(L"\\NoSuchDir\\COM3", L"\\Device\\X"), STATUS_OBJECT_PATH_NOT_FOUND);
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenLink(L"\\NoSuchDir\\COM3", OBJ_KERNEL_HANDLE, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenLink(L"\\DosDevices\\COM9", OBJ_KERNEL_HANDLE, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(ObNamespaceTest, ALinkToALinkLeadsToTheDeviceButOpensAsItself) {
    PDRIVER_OBJECT driver = LoadDriver(L"serialx");
    PDEVICE_OBJECT device = MakeDevice(driver, L"\\Device\\Serial0");
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\DosDevices\\COM4"), STATUS_SUCCESS);
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM4", L"\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_EQ(HkObLookupDevice(L"\\??\\COM3"), device);
    EXPECT_EQ(HkObLookupDevice(L"\\Device\\Serial0"), device);
    // Opening a link does not follow it, but follows the way there.
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenLink(L"\\DosDevices\\COM3", OBJ_KERNEL_HANDLE, &handle), STATUS_SUCCESS);
    WCHAR buffer[64];
    UNICODE_STRING target = {0, sizeof(buffer), buffer};
    ULONG returned = 0;
    ASSERT_EQ(ZwQuerySymbolicLinkObject(handle, &target, &returned), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buffer), target.Length / 2), u"\\DosDevices\\COM4");
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM3"), STATUS_SUCCESS);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM4"), STATUS_SUCCESS);
    IoDeleteDevice(device);
    HkIoUnloadDriver(driver);
}

TEST_F(ObNamespaceTest, CaseInsensitiveDefaultDecidesLookups) {
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial2"), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    // A real machine: every lookup ignores case.
    EXPECT_TRUE(HkObCaseInsensitiveDefault());
    ASSERT_EQ(OpenLink(L"\\dosdevices\\com3", OBJ_KERNEL_HANDLE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    // Without the default only OBJ_CASE_INSENSITIVE ignores case.
    HkObSetCaseInsensitiveDefault(false);
    EXPECT_EQ(OpenLink(L"\\DosDevices\\com3", OBJ_KERNEL_HANDLE, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(OpenLink(L"\\DosDevices\\com3", OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM3"), STATUS_SUCCESS);
}

TEST_F(ObNamespaceTest, QueryTellsTheNeededLengthWhenTheBufferIsTooSmall) {
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial2"), STATUS_SUCCESS);
    const ULONG textBytes = 30;  // "\Device\Serial2"
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenLink(L"\\DosDevices\\COM3", OBJ_KERNEL_HANDLE, &handle), STATUS_SUCCESS);

    UNICODE_STRING empty = {0, 0, nullptr};
    ULONG returned = 0;
    EXPECT_EQ(ZwQuerySymbolicLinkObject(handle, &empty, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, textBytes + 2);
    EXPECT_EQ(empty.Length, 0);

    // Room for the text but not its NUL is still too small for a caller
    // that asks for the length.
    WCHAR buffer[32];
    for (auto& c : buffer) c = 0x7777;
    UNICODE_STRING exact = {0, textBytes, buffer};
    EXPECT_EQ(ZwQuerySymbolicLinkObject(handle, &exact, &returned), STATUS_BUFFER_TOO_SMALL);

    UNICODE_STRING roomy = {0, textBytes + 2, buffer};
    ASSERT_EQ(ZwQuerySymbolicLinkObject(handle, &roomy, &returned), STATUS_SUCCESS);
    EXPECT_EQ(roomy.Length, textBytes);
    EXPECT_EQ(returned, textBytes + 2);
    EXPECT_EQ(buffer[textBytes / 2], 0);

    // Without a returned-length word only the text is needed and no NUL is
    // written.
    for (auto& c : buffer) c = 0x7777;
    ASSERT_EQ(ZwQuerySymbolicLinkObject(handle, &exact, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(exact.Length, textBytes);
    EXPECT_EQ(buffer[textBytes / 2], 0x7777);

    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM3"), STATUS_SUCCESS);
}

TEST_F(ObNamespaceTest, OpenRefusesOtherObjectsAndBadAttributes) {
    PDRIVER_OBJECT driver = LoadDriver(L"serialx");
    PDEVICE_OBJECT device = MakeDevice(driver, L"\\Device\\Serial0");
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenLink(L"\\Device\\Serial0", OBJ_KERNEL_HANDLE, &handle), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(OpenLink(L"Device", OBJ_KERNEL_HANDLE, &handle), STATUS_OBJECT_PATH_SYNTAX_BAD);
    UNICODE_STRING name = Us(L"\\DosDevices\\COM3");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    oa.Length = 40;
    EXPECT_EQ(ZwOpenSymbolicLinkObject(&handle, 0x80, &oa), STATUS_INVALID_PARAMETER);
    IoDeleteDevice(device);
    HkIoUnloadDriver(driver);
}

TEST_F(ObNamespaceTest, DeleteWaitsForTheLastHandleWhichIsReportedWhileOpen) {
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial2"), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenLink(L"\\DosDevices\\COM3", OBJ_KERNEL_HANDLE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(HkObReportLeakedHandles(), 1u);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM3"), STATUS_SUCCESS);
    EXPECT_TRUE(HkObNameExists(L"\\DosDevices\\COM3"));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_FALSE(HkObNameExists(L"\\DosDevices\\COM3"));
    EXPECT_EQ(HkObReportLeakedHandles(), 0u);
}

TEST_F(ObNamespaceTest, FaultPointsFailTheirOperationAndChangeNothing) {
    HkFaultFailNth(HkFault::SymbolicLinkCreate, 1);
    EXPECT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial2"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(HkObNameExists(L"\\DosDevices\\COM3"));
    ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial2"), STATUS_SUCCESS);

    HANDLE handle = nullptr;
    HkFaultFailNth(HkFault::SymbolicLinkOpen, 1);
    EXPECT_FALSE(NT_SUCCESS(OpenLink(L"\\DosDevices\\COM3", OBJ_KERNEL_HANDLE, &handle)));
    EXPECT_EQ(HkObHandleTableCount(nullptr), 0u);

    ASSERT_EQ(OpenLink(L"\\DosDevices\\COM3", OBJ_KERNEL_HANDLE, &handle), STATUS_SUCCESS);
    HkFaultFailNth(HkFault::SymbolicLinkQuery, 1);
    UNICODE_STRING empty = {0, 0, nullptr};
    ULONG returned = 0;
    EXPECT_FALSE(NT_SUCCESS(ZwQuerySymbolicLinkObject(handle, &empty, &returned)));
    EXPECT_EQ(ZwQuerySymbolicLinkObject(handle, &empty, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(DeleteLink(L"\\DosDevices\\COM3"), STATUS_SUCCESS);
}

// ---------------------------------------------------------------- objects and handles

int g_deleted = 0;
void CountDelete(PVOID) {
    ++g_deleted;
}

TEST_F(ObNamespaceTest, BodyGoesWithTheLastReferenceNotTheLastHandle) {
    g_deleted = 0;
    static POBJECT_TYPE type = HkObCreateType("TestThing", &CountDelete);
    PVOID body = nullptr;
    ASSERT_EQ(HkObCreateObject(type, 32, &body), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(HkObInsertHandle(body, 0, OBJ_KERNEL_HANDLE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(HkObPointerCount(body), 2);
    EXPECT_EQ(HkObHandleCount(body), 1);
    ObReferenceObject(body);
    ObDereferenceObject(body);
    ObDereferenceObject(body);  // the creator's reference
    EXPECT_EQ(g_deleted, 0);
    PVOID again = nullptr;
    ASSERT_EQ(HkObReferenceObjectByHandle(handle, type, &again, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(again, body);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(g_deleted, 0);
    ObDereferenceObject(again);
    EXPECT_EQ(g_deleted, 1);
}

TEST_F(ObNamespaceTest, HandlesBelongToTheirTable) {
    static POBJECT_TYPE type = HkObCreateType("TestThing2", nullptr);
    PVOID body = nullptr;
    ASSERT_EQ(HkObCreateObject(type, 8, &body), STATUS_SUCCESS);
    HANDLE kernelHandle = nullptr;
    HANDLE processHandle = nullptr;
    PEPROCESS process = HkPsCreateProcess(L"C:\\Tools\\term.exe");
    {
        HkProcessContext context(process);
        ASSERT_EQ(HkObInsertHandle(body, 0, OBJ_KERNEL_HANDLE, &kernelHandle), STATUS_SUCCESS);
        ASSERT_EQ(HkObInsertHandle(body, 0, 0, &processHandle), STATUS_SUCCESS);
        EXPECT_EQ(HkObHandleTableCount(static_cast<HkHandleTable*>(HkPsHandleTable(process))), 1u);
    }
    EXPECT_EQ(HkObHandleTableCount(nullptr), 1u);
    // The process handle means nothing outside its process.
    PVOID found = nullptr;
    EXPECT_EQ(HkObReferenceObjectByHandle(processHandle, nullptr, &found, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(HkObReferenceObjectByHandle(kernelHandle, nullptr, &found, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(found);
    EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, type, UserMode, &found, nullptr), STATUS_INVALID_HANDLE);
    // Ending the process closes its handles.
    HkPsDestroyProcess(process);
    EXPECT_EQ(HkObHandleCount(body), 1);
    EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
    ObDereferenceObject(body);
    EXPECT_EQ(HkObLiveObjects(type), 0u);
}

}  // namespace
