// Helpers for the control, port device and open/close tests: control
// requests with a system buffer as the I/O manager builds it, DOS links,
// processes and the registry records of a port device.
#pragma once

#include <algorithm>
#include <cstring>

#include "driver_fixture.h"
#include "hk/process.h"

#include "../../port/port_group.h"

namespace drvtest {

// What a caller of DeviceIoControl sees.
struct ControlReply {
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<UCHAR> Output;  // the bytes copied back (none on an error)
};

constexpr ULONG_PTR UntouchedInformation = 0x5A5A5A5A;
constexpr UCHAR Unwritten = 0xCC;

inline dravolux::PortRequest MakeRequest(const std::u16string& Name)
{
    dravolux::PortRequest Request;
    std::memset(&Request, 0, sizeof(Request));
    Request.Size = sizeof(Request);
    for (size_t i = 0; i < Name.size() && i < dravolux::PortNameUnits; i++) {
        Request.Name[i] = Name[i];
    }
    return Request;
}

// A copy of a field of the packed FunctionArea, so nothing binds to it.
template <typename T>
T Val(T Value)
{
    return Value;
}

inline const WCHAR* W(const char16_t* Text)
{
    return reinterpret_cast<const WCHAR*>(Text);
}

// Holds the first thread that writes ValueName into the key at KeyPath,
// just before that write, until Release(): a gate at an exact point of the
// writer of a port device's installation records.
class WriteGate : public Gate {
public:
    WriteGate(const std::u16string& KeyPath, const char16_t* ValueName)
    {
        std::u16string Value = ValueName;
        HkRegSetWriteHook([this, KeyPath, Value](const std::u16string& Path, const std::u16string& Name) {
            if (Path == KeyPath && Name == Value && !Taken.exchange(true)) {
                Hold();
            }
        });
    }
    ~WriteGate()
    {
        Release();
        HkRegSetWriteHook(nullptr);
    }

private:
    std::atomic<bool> Taken{false};
};

class ControlFixture : public DriverFixture {
protected:
    std::vector<PEPROCESS> Processes;

    // Sends a buffered device-control request as the I/O manager would: one
    // system buffer of the larger length, pre-filled with a pattern, and
    // the first Information bytes copied back unless the status is an error.
    ControlReply Control(ULONG Code, const void* Input, ULONG InputLength, ULONG OutputLength,
                         PDEVICE_OBJECT Target = nullptr, const std::function<void()>& WhileCompleting = nullptr)
    {
        if (Target == nullptr) {
            Target = BusDevice;
        }
        ULONG Length = InputLength > OutputLength ? InputLength : OutputLength;
        PUCHAR System = nullptr;
        if (Length != 0) {
            System = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Length, 'tseT'));
            std::memset(System, Unwritten, Length);
            if (InputLength != 0) {
                std::memcpy(System, Input, InputLength);
            }
        }
        Request R = Send(
            Target, IRP_MJ_DEVICE_CONTROL, 0,
            [&](PIRP Irp, PIO_STACK_LOCATION Stack) {
                Irp->AssociatedIrp.SystemBuffer = System;
                Stack->Parameters.DeviceIoControl.IoControlCode = Code;
                Stack->Parameters.DeviceIoControl.InputBufferLength = InputLength;
                Stack->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
            },
            STATUS_NOT_SUPPORTED, UntouchedInformation, WhileCompleting);
        ControlReply Reply;
        Reply.Status = R.Status;
        Reply.Information = R.Information;
        EXPECT_EQ(R.Returned, Reply.Status);
        if (!NT_ERROR(Reply.Status) && Reply.Information != UntouchedInformation) {
            EXPECT_LE(Reply.Information, OutputLength) << "reply longer than the caller's output buffer";
            Reply.Output.assign(System, System + Reply.Information);
        }
        if (System != nullptr) {
            ExFreePoolWithTag(System, 'tseT');
        }
        return Reply;
    }

    ControlReply CreatePortRequest(const std::u16string& Name, ULONG OutputLength = sizeof(dravolux::PortRequest))
    {
        dravolux::PortRequest Request = MakeRequest(Name);
        return Control(dravolux::IoctlCreatePort, &Request, sizeof(Request), OutputLength);
    }

    ControlReply RemovePortRequest(const std::u16string& Name)
    {
        dravolux::PortRequest Request = MakeRequest(Name);
        return Control(dravolux::IoctlRemovePort, &Request, sizeof(Request), sizeof(Request));
    }

    ControlReply QueryPortsRequest(ULONG OutputLength, ULONG QueryType = dravolux::QueryAllPorts)
    {
        return Control(dravolux::IoctlQueryPorts, &QueryType, sizeof(QueryType), OutputLength);
    }

    // Creates COM-style managed port Name on the bus; returns client and
    // control port device.
    void CreateManaged(const std::u16string& Name, PortExtension** Client, PortExtension** Control)
    {
        ASSERT_EQ(CreatePortRequest(Name).Status, STATUS_SUCCESS);
        *Client = nullptr;
        *Control = nullptr;
        for (PortExtension* Port : PortsOnList()) {
            if (Port->PortName != nullptr && U16(Port->PortName) == Name) {
                if (Port->IsControl) {
                    *Control = Port;
                } else if (*Client == nullptr) {
                    *Client = Port;
                }
            }
        }
        ASSERT_NE(*Client, nullptr);
        ASSERT_NE(*Control, nullptr);
    }

    // ---- DOS links

    static NTSTATUS MakeLink(const char16_t* Link, const char16_t* Target)
    {
        UNICODE_STRING L, T;
        RtlInitUnicodeString(&L, W(Link));
        RtlInitUnicodeString(&T, W(Target));
        return IoCreateSymbolicLink(&L, &T);
    }

    // The target of a link, or "<none>" when no link of that name exists.
    static std::u16string LinkTargetOf(const char16_t* Link)
    {
        UNICODE_STRING Name;
        RtlInitUnicodeString(&Name, W(Link));
        OBJECT_ATTRIBUTES Attributes;
        InitializeObjectAttributes(&Attributes, &Name, OBJ_KERNEL_HANDLE, NULL, NULL);
        HANDLE Handle = NULL;
        if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&Handle, 0x80, &Attributes))) {
            return u"<none>";
        }
        WCHAR Buffer[300] = {};
        UNICODE_STRING Target;
        Target.Buffer = Buffer;
        Target.Length = 0;
        Target.MaximumLength = sizeof(Buffer) - sizeof(WCHAR);
        ULONG Needed = 0;
        NTSTATUS Status = ZwQuerySymbolicLinkObject(Handle, &Target, &Needed);
        ZwClose(Handle);
        if (!NT_SUCCESS(Status)) {
            return u"<unreadable>";
        }
        return std::u16string(reinterpret_cast<const char16_t*>(Buffer), Target.Length / sizeof(WCHAR));
    }

    // ---- processes and opens

    PEPROCESS NewProcess(const char16_t* ImagePath)
    {
        PEPROCESS Process = HkPsCreateProcess(W(ImagePath));
        Processes.push_back(Process);
        return Process;
    }

    Request OpenAs(PortExtension* Port, PEPROCESS Process)
    {
        HkProcessContext Context(Process);
        return Send(Port->Header.Self, IRP_MJ_CREATE, 0, nullptr, STATUS_NOT_SUPPORTED, UntouchedInformation);
    }

    Request Close(PortExtension* Port)
    {
        return Send(Port->Header.Self, IRP_MJ_CLOSE, 0, nullptr, STATUS_NOT_SUPPORTED, UntouchedInformation);
    }

    // The client port device made last: the one waiting for an open.
    PortExtension* LastClient()
    {
        PortExtension* Last = nullptr;
        for (PortExtension* Port : PortsOnList()) {
            if (!Port->IsControl) {
                Last = Port;
            }
        }
        return Last;
    }

    // ---- state

    bool RescanArmed()
    {
        return HkKeFindLiveObjectsInRange(&Bus->RescanTimer, sizeof(KTIMER)).Timers != 0;
    }

    std::vector<ULONG> Indexes()
    {
        std::vector<ULONG> Result;
        for (PortExtension* Port : PortsOnList()) {
            Result.push_back(Port->Index);
        }
        return Result;
    }

    static std::vector<PortExtension*> GroupMembers(PLIST_ENTRY Head)
    {
        std::vector<PortExtension*> Members;
        for (PLIST_ENTRY Entry = Head->Flink; Entry != Head; Entry = Entry->Flink) {
            Members.push_back(RECORD_OF(Entry, PortExtension, GroupLink));
        }
        return Members;
    }

    static std::vector<PortExtension*> FunctionMembers(PLIST_ENTRY Head)
    {
        std::vector<PortExtension*> Members;
        // FunctionLink lies on a 4-byte boundary; read the links as bytes.
        for (PLIST_ENTRY Entry = NextEntry(Head); Entry != Head; Entry = NextEntry(Entry)) {
            Members.push_back(reinterpret_cast<PortExtension*>(reinterpret_cast<PUCHAR>(Entry) -
                                                               offsetof(PortExtension, Function) -
                                                               offsetof(FunctionArea, FunctionLink)));
        }
        return Members;
    }

    // Moves every port device to Started, as the PnP manager would.
    void StartPorts()
    {
        for (PortExtension* Port : PortsOnList()) {
            if (Port->Header.PnpState != Started) {
                ASSERT_EQ(SendPnp(Port->Header.Self, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
            }
        }
    }

    // Enumeration key of the port device with this Index.
    static std::u16string EnumKey(ULONG Index)
    {
        char Number[16];
        snprintf(Number, sizeof(Number), "%04u", Index);
        std::u16string Path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\DRAVOLUX\\DEVICES\\";
        for (const char* c = Number; *c; c++) {
            Path.push_back(static_cast<char16_t>(*c));
        }
        return Path;
    }

    // Every value of the enumeration key is there.
    static bool RecordsComplete(ULONG Index)
    {
        return HkRegEnumValues(W(EnumKey(Index).c_str())).size() == 13;
    }

    // The Index of every port device bus relations name now.
    std::vector<ULONG> ReportedIndexes()
    {
        std::vector<ULONG> Result;
        for (PDEVICE_OBJECT Device : TakeRelations(QueryRelations(BusDevice, BusRelations).Information)) {
            Result.push_back(PortOf(Device)->Index);
        }
        return Result;
    }

    static std::u16string FriendlyName(ULONG Index)
    {
        std::u16string Text;
        HkRegGetString(W(EnumKey(Index).c_str()), L"FriendlyName", &Text);
        return Text;
    }

    static void SetPermission(const char16_t* Port, const char16_t* Image, ULONG Word)
    {
        std::u16string Path = u"\\Registry\\Machine\\Software\\ZARVIK Software\\CorvessSerialPorts\\";
        Path += Port;
        Path += u"\\Permissions";
        ASSERT_EQ(HkRegSetDword(W(Path.c_str()), W(Image), Word), STATUS_SUCCESS);
    }
};

}  // namespace drvtest
