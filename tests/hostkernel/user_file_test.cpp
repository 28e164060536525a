// Object manager: the namespace, symbolic links, handles and reference
// counting; user-mode calls: opening devices by DOS name, DeviceIoControl
// with METHOD_BUFFERED, reads, and closing.
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "io_test_support.h"

using namespace iotest;

namespace {

constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPend = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Complete, then look at the caller's buffer before returning.
constexpr ULONG kIoctlLook = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Mark pending and complete at APC_LEVEL, look, then drop to PASSIVE_LEVEL.
constexpr ULONG kIoctlPendAtApc = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Complete and return STATUS_PENDING without the mark.
constexpr ULONG kIoctlUnmarked = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Mark pending, complete and return the status.
constexpr ULONG kIoctlMarkedSuccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Seen {
    std::vector<std::string> Requests;
    std::vector<PDEVICE_OBJECT> Devices;
    NTSTATUS CreateStatus = STATUS_SUCCESS;
    NTSTATUS ReplyStatus = STATUS_SUCCESS;
    ULONG_PTR ReplyInformation = 0;
    std::vector<UCHAR> SystemBuffer;  // as the driver found it
    std::promise<PIRP>* Pended = nullptr;
    // What the caller's buffer held at points inside the dispatch routine.
    std::vector<bool> OutputWritten;
    bool ReadPendsUnmarked = false;  // a read returns STATUS_PENDING unmarked
};
Seen g_seen;
std::mutex g_seenLock;  // dispatch routines run in several threads at once

const char* MajorName(UCHAR major) {
    switch (major) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLEANUP: return "cleanup";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_READ: return "read";
    case IRP_MJ_DEVICE_CONTROL: return "ioctl";
    default: return "other";
    }
}

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp) {
    std::lock_guard<std::mutex> guard(g_seenLock);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_seen.Requests.push_back(MajorName(stack->MajorFunction));
    g_seen.Devices.push_back(device);
    EXPECT_NE(stack->FileObject, nullptr);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return CompleteWith(irp, g_seen.CreateStatus);
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG length = std::max(stack->Parameters.DeviceIoControl.InputBufferLength,
                                stack->Parameters.DeviceIoControl.OutputBufferLength);
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        g_seen.SystemBuffer.assign(buffer, buffer + length);
        for (ULONG i = 0; i < length; ++i) {
            buffer[i] = static_cast<UCHAR>(0x10 + i);
        }
        auto* output = static_cast<const UCHAR*>(irp->UserBuffer);
        auto look = [output] { g_seen.OutputWritten.push_back(output[0] == 0x10); };
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case kIoctlPend:
            IoMarkIrpPending(irp);
            g_seen.Pended->set_value(irp);
            return STATUS_PENDING;
        case kIoctlLook:
            CompleteWith(irp, STATUS_SUCCESS, 4);
            look();
            return STATUS_SUCCESS;
        case kIoctlPendAtApc: {
            IoMarkIrpPending(irp);
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            CompleteWith(irp, STATUS_SUCCESS, 2);
            look();
            KeLowerIrql(old);
            look();
            return STATUS_PENDING;
        }
        case kIoctlUnmarked:
            CompleteWith(irp, STATUS_SUCCESS, 1);
            return STATUS_PENDING;
        case kIoctlMarkedSuccess:
            IoMarkIrpPending(irp);
            return CompleteWith(irp, STATUS_SUCCESS, 1);
        default:
            return CompleteWith(irp, g_seen.ReplyStatus, g_seen.ReplyInformation);
        }
    }
    case IRP_MJ_READ: {
        auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        auto* output = static_cast<const UCHAR*>(irp->UserBuffer);
        buffer[0] = 'o';
        buffer[1] = 'k';
        CompleteWith(irp, STATUS_SUCCESS, 2);
        g_seen.OutputWritten.push_back(output[0] == 'o');
        return g_seen.ReadPendsUnmarked ? STATUS_PENDING : STATUS_SUCCESS;
    }
    default:
        return CompleteWith(irp, STATUS_SUCCESS);
    }
}

NTSTATUS SerialEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL}) {
        driver->MajorFunction[major] = Record;
    }
    return STATUS_SUCCESS;
}

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

class UserFileTest : public HostKernelTest {
protected:
    void SetUp() override {
        HostKernelTest::SetUp();
        g_seen = Seen();
        driver = LoadDriver(L"serialx", SerialEntry);
        device = MakeDevice(driver, L"\\Device\\Serial0");
        device->Flags |= DO_BUFFERED_IO;
        ASSERT_EQ(CreateLink(L"\\DosDevices\\COM3", L"\\Device\\Serial0"), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle) {
            EXPECT_EQ(HkUserCloseHandle(handle), STATUS_SUCCESS);
        }
        DeleteLink(L"\\DosDevices\\COM3");
        if (device) {
            DestroyStack(IoGetAttachedDevice(device));
        }
        HkIoUnloadDriver(driver);
        HostKernelTest::TearDown();
    }
    // Opens COM3 into `handle`, which TearDown closes.
    void OpenCom3() { ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_SUCCESS); }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    HANDLE handle = nullptr;
};

TEST_F(UserFileTest, OpenByDosNameReachesTheTopOfTheStack) {
    PDEVICE_OBJECT filter = AttachNew(driver, device);
    HANDLE handle = nullptr;
    ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_SUCCESS);
    ASSERT_EQ(g_seen.Requests.size(), 1u);
    EXPECT_EQ(g_seen.Requests[0], "create");
    EXPECT_EQ(g_seen.Devices[0], filter);
    // The file object names the device the name led to.
    EXPECT_EQ(HkUserFileObject(handle)->DeviceObject, device);
    EXPECT_EQ(HkIoOpenFileCount(filter), 1u);
    EXPECT_EQ(HkUserCloseHandle(handle), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Requests, (std::vector<std::string>{"create", "cleanup", "close"}));
    EXPECT_EQ(HkIoOpenFileCount(device), 0u);
}

TEST_F(UserFileTest, MissingNamesAndPathForms) {
    HANDLE handle = nullptr;
    EXPECT_EQ(HkUserCreateFile(L"\\\\.\\COM9", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(HkUserCreateFile(L"\\\\server\\share", &handle), STATUS_OBJECT_PATH_SYNTAX_BAD);
    ASSERT_EQ(HkUserCreateFile(L"com3", &handle), STATUS_SUCCESS);
    EXPECT_EQ(HkUserCloseHandle(handle), STATUS_SUCCESS);
    ASSERT_EQ(HkUserCreateFile(L"\\Device\\Serial0", &handle), STATUS_SUCCESS);
    EXPECT_EQ(HkUserCloseHandle(handle), STATUS_SUCCESS);
}

TEST_F(UserFileTest, CloseComesWithTheLastReference) {
    HANDLE handle = nullptr;
    ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, reinterpret_cast<PVOID*>(&file),
                                        nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(HkUserCloseHandle(handle), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Requests.back(), "cleanup");
    ObDereferenceObject(file);
    EXPECT_EQ(g_seen.Requests.back(), "close");
}

TEST_F(UserFileTest, ExclusiveDeviceOpensOnce) {
    device->Flags |= DO_EXCLUSIVE;
    HANDLE first = nullptr;
    HANDLE second = nullptr;
    ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &first), STATUS_SUCCESS);
    EXPECT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(g_seen.Requests.size(), 1u);
    EXPECT_EQ(HkUserCloseHandle(first), STATUS_SUCCESS);
    ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &second), STATUS_SUCCESS);
    EXPECT_EQ(HkUserCloseHandle(second), STATUS_SUCCESS);
}

TEST_F(UserFileTest, FailedCreateGetsNoCloseAndCountsNoOpen) {
    device->Flags |= DO_EXCLUSIVE;
    g_seen.CreateStatus = STATUS_ACCESS_DENIED;
    HANDLE handle = nullptr;
    EXPECT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(g_seen.Requests, (std::vector<std::string>{"create"}));
    EXPECT_EQ(HkIoOpenFileCount(device), 0u);
    g_seen.CreateStatus = STATUS_SUCCESS;
    ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_SUCCESS);
    EXPECT_EQ(HkUserCloseHandle(handle), STATUS_SUCCESS);
}

TEST_F(UserFileTest, InitializingDeviceCannotBeOpened) {
    device->Flags |= DO_DEVICE_INITIALIZING;
    HANDLE handle = nullptr;
    EXPECT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(g_seen.Requests.empty());
}

// Each row: the driver's status and information for a buffered control
// request; the caller gets that status, the count it is told, and how many
// bytes come back (the rest keep their fill). An error copies nothing, a
// warning does; information beyond the output is a stop.
TEST_F(UserFileTest, BufferedControlCopiesBackInformationBytes) {
    OpenCom3();
    const struct {
        NTSTATUS Reply;
        ULONG_PTR Information;
        ULONG OutputLength;
        ULONG Returned;
        ULONG Copied;
        size_t Stops;
    } cases[] = {
        {STATUS_INVALID_PARAMETER, 4, 4, 0, 0, 0},
        {STATUS_BUFFER_OVERFLOW, 2, 4, 2, 2, 0},
        {STATUS_SUCCESS, 6, 2, 6, 2, 1},
        {STATUS_SUCCESS, 5, 8, 5, 5, 0},
    };
    for (const auto& c : cases) {
        UCHAR input[3] = {1, 2, 3};
        UCHAR output[8];
        memset(output, 0xEE, sizeof(output));
        g_seen.ReplyStatus = c.Reply;
        g_seen.ReplyInformation = c.Information;
        ULONG returned = 7;
        HkVerifierCapture capture;
        EXPECT_EQ(HkUserDeviceIoControl(handle, kIoctlEcho, input, 3, output, c.OutputLength, &returned), c.Reply)
            << c.Information;
        EXPECT_EQ(returned, c.Returned) << c.Information;
        for (ULONG i = 0; i < sizeof(output); ++i) {
            EXPECT_EQ(output[i], i < c.Copied ? 0x10 + i : 0xEE) << c.Information << " byte " << i;
        }
        EXPECT_EQ(capture.Count(), c.Stops) << c.Information;
    }
    // The last: one buffer of the larger length, the input, then pool fill.
    ASSERT_EQ(g_seen.SystemBuffer.size(), 8u);
    EXPECT_EQ(g_seen.SystemBuffer[0], 1);
    EXPECT_EQ(g_seen.SystemBuffer[2], 3);
    EXPECT_EQ(g_seen.SystemBuffer[3], HK_POOL_FILL);
}

// Not pending: a read (deferred completion) is finished by the caller once
// the dispatch routine returned; a device control request by the APC that
// runs at once in the calling thread, inside IoCompleteRequest.
TEST_F(UserFileTest, ANonPendingRequestEndsInTheCallingThread) {
    OpenCom3();
    char text[4] = {};
    ULONG read = 0;
    EXPECT_EQ(HkUserReadFile(handle, text, sizeof(text), &read), STATUS_SUCCESS);
    EXPECT_EQ(std::string(text, read), "ok");
    UCHAR output[4] = {};
    ULONG returned = 0;
    EXPECT_EQ(HkUserDeviceIoControl(handle, kIoctlLook, nullptr, 0, output, 4, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(output[3], 0x13);
    EXPECT_EQ(g_seen.OutputWritten, (std::vector<bool>{false, true}));
}

// Pending: an APC in the issuing thread finishes it, as soon as that thread
// is below APC_LEVEL.
TEST_F(UserFileTest, APendedRequestEndsInAnApcToTheIssuingThread) {
    OpenCom3();
    UCHAR output[4] = {};
    ULONG returned = 0;
    EXPECT_EQ(HkUserDeviceIoControl(handle, kIoctlPendAtApc, nullptr, 0, output, 4, &returned), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.OutputWritten, (std::vector<bool>{false, true}));
    EXPECT_EQ(returned, 2u);
}

// A missing mark would leave the caller waiting for ever on Windows, a
// stray one would finish the request twice: both are stops.
TEST_F(UserFileTest, PendingMarkAndReturnedStatusMustAgree) {
    OpenCom3();
    UCHAR output[4] = {};
    auto control = [&](ULONG code, ULONG* done) {
        return HkUserDeviceIoControl(handle, code, nullptr, 0, output, 4, done);
    };
    const struct {
        std::function<NTSTATUS(ULONG*)> Call;
        HkViolation Expected;
        ULONG Done;
    } cases[] = {
        {[&](ULONG* done) { return control(kIoctlUnmarked, done); }, HkViolation::PendingNotMarked, 1},
        {[&](ULONG* done) { return control(kIoctlMarkedSuccess, done); }, HkViolation::PendingMarkedNotReturned, 1},
        {[&](ULONG* done) {
             g_seen.ReadPendsUnmarked = true;
             return HkUserReadFile(handle, output, 4, done);
         },
         HkViolation::PendingNotMarked, 2},
    };
    for (const auto& c : cases) {
        HkVerifierCapture capture;
        ULONG done = 0;
        EXPECT_EQ(c.Call(&done), STATUS_SUCCESS);
        EXPECT_EQ(capture.Count(c.Expected), 1u);
        EXPECT_EQ(capture.Count(), 1u);
        EXPECT_EQ(done, c.Done);
    }
}

TEST_F(UserFileTest, HandlesStayInTheirProcess) {
    PEPROCESS process = HkPsCreateProcess(L"C:\\Tools\\term.exe");
    HANDLE handle = nullptr;
    {
        HkProcessContext context(process);
        ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_SUCCESS);
        EXPECT_EQ(HkObHandleTableCount(static_cast<HkHandleTable*>(HkPsHandleTable(process))), 1u);
    }
    EXPECT_EQ(HkUserDeviceIoControl(handle, kIoctlEcho, nullptr, 0, nullptr, 0, nullptr), STATUS_INVALID_HANDLE);
    // Ending the process closes the file.
    HkPsDestroyProcess(process);
    EXPECT_EQ(g_seen.Requests.back(), "close");
}

TEST_F(UserFileTest, DeletedDeviceWaitsForItsOpenFile) {
    HANDLE handle = nullptr;
    ASSERT_EQ(HkUserCreateFile(L"\\\\.\\COM3", &handle), STATUS_SUCCESS);
    IoDeleteDevice(device);
    PDEVICE_OBJECT deleted = device;
    device = nullptr;
    EXPECT_EQ(HkIoLiveDeviceCount(), 1u);
    EXPECT_EQ(HkIoDevicesOfDriver(driver).size(), 1u);
    EXPECT_EQ(HkUserCloseHandle(handle), STATUS_SUCCESS);
    EXPECT_EQ(g_seen.Devices.back(), deleted);
    EXPECT_EQ(HkIoLiveDeviceCount(), 0u);
}

class UserFileConcurrencyTest : public UserFileTest {};

TEST_F(UserFileConcurrencyTest, PendingRequestWaitsForItsCompletion) {
    OpenCom3();
    std::promise<PIRP> pended;
    g_seen.Pended = &pended;
    UCHAR output[4];
    memset(output, 0xEE, sizeof(output));
    ULONG returned = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread caller([&] {
        status = HkUserDeviceIoControl(handle, kIoctlPend, nullptr, 0, output, 4, &returned);
    });
    PIRP irp = pended.get_future().get();
    CompleteWith(irp, STATUS_SUCCESS, 3);
    caller.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(output[2], 0x12);
    EXPECT_EQ(output[3], 0xEE);
}

TEST_F(UserFileConcurrencyTest, ManyThreadsOpenAskAndClose) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                HANDLE handle = nullptr;
                UCHAR output[4];
                if (!NT_SUCCESS(HkUserCreateFile(L"\\\\.\\COM3", &handle)) ||
                    HkUserDeviceIoControl(handle, kIoctlEcho, nullptr, 0, output, 4, nullptr) != STATUS_SUCCESS ||
                    !NT_SUCCESS(HkUserCloseHandle(handle))) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(HkIoOpenFileCount(device), 0u);
}

TEST_F(UserFileConcurrencyTest, LinksComeAndGoFromManyThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> created{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            WCHAR name[32];
            swprintf(name, L"\\DosDevices\\CNC%d", t);
            for (int i = 0; i < 50; ++i) {
                if (NT_SUCCESS(CreateLink(name, L"\\Device\\Serial0"))) {
                    ++created;
                    EXPECT_NE(HkObLookupDevice(name), nullptr);
                    EXPECT_EQ(DeleteLink(name), STATUS_SUCCESS);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(created.load(), 200);
    EXPECT_EQ(HkObListLinks(L"\\GLOBAL??").size(), 2u);  // COM3 and Global
}

class ObNamespaceTest : public HostKernelTest {};

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

TEST_F(ObNamespaceTest, OpenRefusesMissingNamesOtherObjectsAndBadAttributes) {
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
    EXPECT_EQ(CreateLink(L"\\NoSuchDir\\COM3", L"\\Device\\X"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenLink(L"\\NoSuchDir\\COM3", OBJ_KERNEL_HANDLE, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(OpenLink(L"\\DosDevices\\COM9", OBJ_KERNEL_HANDLE, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
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
