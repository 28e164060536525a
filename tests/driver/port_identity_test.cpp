// Port identity: identifiers, device texts, capabilities with the address of
// the FunctionArea, and the values written into the hardware key.
#include "driver_fixture.h"

namespace {

using namespace drvtest;

// A capabilities record as a caller fills it, with room for the address.
struct CapsBuffer {
    alignas(8) UCHAR Bytes[80];
    PDEVICE_CAPABILITIES Caps() { return reinterpret_cast<PDEVICE_CAPABILITIES>(Bytes); }
    ULONG Flags() const
    {
        ULONG Value;
        memcpy(&Value, Bytes + 4, 4);
        return Value;
    }
    void SetFlags(ULONG Value) { memcpy(Bytes + 4, &Value, 4); }
    ULONG64 At64() const
    {
        ULONG64 Value;
        memcpy(&Value, Bytes + 64, 8);
        return Value;
    }
};

class PortIdentity : public PortFixture {
protected:
    Request QueryCaps(CapsBuffer* Buffer, USHORT Size, USHORT Version = 1)
    {
        Buffer->Caps()->Size = Size;
        Buffer->Caps()->Version = Version;
        return SendPnp(PortDevice, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION Stack) {
            Stack->Parameters.DeviceCapabilities.Capabilities = Buffer->Caps();
        });
    }
};

// Every answer of index 0, unit by unit with its NULs (the compatible IDs
// fill 110 bytes); then the ones that follow the index.
TEST_F(PortIdentity, IdentifiersAndTextsFollowTheIndex)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    ASSERT_EQ(Port->Index, 0u);
    using namespace std::string_literals;
    const std::pair<Request, std::u16string> Answers[] = {
        {QueryId(PortDevice, BusQueryDeviceID), u"DRAVOLUX\\DEVICES\0"s},
        {QueryId(PortDevice, BusQueryHardwareIDs), u"PELMONIX\0\0"s},
        {QueryId(PortDevice, BusQueryCompatibleIDs), u"*ZARVIKCompatibleDRAVOLUX\0\0"s},
        {QueryId(PortDevice, BusQueryInstanceID), u"0000\0"s},
        {QueryText(PortDevice, DeviceTextDescription), u"ZARVIK_Virtual_Serial_Port_00\0"s},
        {QueryText(PortDevice, DeviceTextLocationInformation), u"Virtual Serial Bus\0"s},
    };
    for (const auto& [R, Expected] : Answers) {
        EXPECT_EQ(R.Status, STATUS_SUCCESS);
        ASSERT_NE(R.Information, 0u);
        const char16_t* Text = reinterpret_cast<const char16_t*>(R.Information);
        EXPECT_EQ(std::u16string(Text, Expected.size()), Expected);
        // The rest of the answer's block is zero: no pool contents go out.
        size_t Units = HkPoolBlockAt(Text).Size / sizeof(char16_t);
        EXPECT_EQ(std::u16string(Text + Expected.size(), Units - Expected.size()),
                  std::u16string(Units - Expected.size(), 0));
        ExFreePool(reinterpret_cast<PVOID>(R.Information));
    }
    Port->Index = 123;
    EXPECT_EQ(TakeText(QueryId(PortDevice, BusQueryInstanceID).Information), u"0123");
    EXPECT_EQ(TakeText(QueryText(PortDevice, DeviceTextDescription).Information),
              u"ZARVIK_Virtual_Serial_Port_123");
    Port->Index = 7;
    EXPECT_EQ(TakeText(QueryText(PortDevice, DeviceTextDescription).Information),
              u"ZARVIK_Virtual_Serial_Port_07");
    Port->Index = 0;

    // Other kinds complete with the status and information they carried.
    for (Request Other : {QueryId(PortDevice, BusQueryDeviceSerialNumber, (NTSTATUS)0xC0000123, 0x44),
                          QueryText(PortDevice, 5, (NTSTATUS)0xC0000123, 0x44)}) {
        EXPECT_EQ(Other.Status, (NTSTATUS)0xC0000123);
        EXPECT_EQ(Other.Information, 0x44u);
    }
}

TEST_F(PortIdentity, TextAlreadyAnsweredFromAboveStays)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    PWCHAR Above = (PWCHAR)ExAllocatePoolWithTag(PagedPool, 8, 'tseT');
    Above[0] = 'A';
    Above[1] = 'B';
    Above[2] = 0;
    Request R = QueryText(PortDevice, DeviceTextDescription, STATUS_NOT_SUPPORTED, (ULONG_PTR)Above);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_EQ(R.Information, (ULONG_PTR)Above);
    EXPECT_EQ(TakeText(R.Information), u"AB");
}

TEST_F(PortIdentity, AnswersWithoutPoolFailAndLeaveInformation)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    HkFaultFailTag(DVX_TAG);
    Request Id = QueryId(PortDevice, BusQueryInstanceID, STATUS_NOT_SUPPORTED, 0x12);
    Request Text = QueryText(PortDevice, DeviceTextLocationInformation, STATUS_NOT_SUPPORTED, 0);
    HkFaultReset();
    EXPECT_EQ(Id.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Id.Information, 0x12u);
    EXPECT_EQ(Text.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Text.Information, 0u);
}

TEST_F(PortIdentity, CapabilitiesOfAClientPort)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort(0));
    Port->Index = 5;
    CapsBuffer Buffer;
    memset(Buffer.Bytes, 0xEE, sizeof(Buffer.Bytes));
    Buffer.SetFlags(0xFFFFFFFF);
    Request R = QueryCaps(&Buffer, 72);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    PDEVICE_CAPABILITIES Caps = Buffer.Caps();
    EXPECT_EQ(Buffer.Flags(), (0xFFFFFFFFu & ~0x7C0Bu & ~0x20000u) | 0x2D0u);
    EXPECT_EQ(Caps->Address, 0xFFFFFFFFu);
    EXPECT_EQ(Caps->UINumber, 5u);
    EXPECT_EQ(Caps->SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(Caps->DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(Caps->D1Latency | Caps->D2Latency | Caps->D3Latency, 0u);
    EXPECT_EQ(Buffer.At64(), (ULONG64)(ULONG_PTR)&Port->Function);
    ULONG Reserved0 = reinterpret_cast<FunctionArea*>(Buffer.At64())->Reserved0;
    EXPECT_EQ(Reserved0, 0u);  // as the port function driver reads it
    EXPECT_EQ(Buffer.Bytes[72], 0xEE);  // nothing past the record
    EXPECT_EQ((PUCHAR)&Port->Function - (PUCHAR)Port + sizeof(FunctionArea), sizeof(PortExtension));
    Port->Index = 0;
}

TEST_F(PortIdentity, CapabilitiesOfAControlPortHideItAndKeepCallerBits)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort(1));
    CapsBuffer Buffer;
    memset(Buffer.Bytes, 0, sizeof(Buffer.Bytes));
    Buffer.SetFlags(0);
    EXPECT_EQ(QueryCaps(&Buffer, 72).Status, STATUS_SUCCESS);
    EXPECT_EQ(Buffer.Flags(), 0x2D0u | 0x20000u);
    EXPECT_EQ(Buffer.Caps()->NoDisplayInUI, 1u);
}

TEST_F(PortIdentity, DeviceStatesFollowTheBusWithSleepStatesMappedToD3)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    LowerDriverState& L = LowerDriver();
    DEVICE_POWER_STATE FromBus[7] = {PowerDeviceD2,         PowerDeviceD3, PowerDeviceD1, PowerDeviceD0,
                                     PowerDeviceUnspecified, PowerDeviceD1, PowerDeviceD2};
    for (int i = 0; i < 7; i++) {
        L.DeviceState[i] = FromBus[i];
    }
    CapsBuffer Buffer;
    memset(Buffer.Bytes, 0, sizeof(Buffer.Bytes));
    EXPECT_EQ(QueryCaps(&Buffer, 64).Status, STATUS_SUCCESS);
    PDEVICE_CAPABILITIES Caps = Buffer.Caps();
    EXPECT_EQ(Caps->DeviceState[PowerSystemUnspecified], PowerDeviceD2);  // the bus's
    EXPECT_EQ(Caps->DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(Caps->DeviceState[PowerSystemSleeping1], PowerDeviceD3);  // D1 below
    EXPECT_EQ(Caps->DeviceState[PowerSystemSleeping2], PowerDeviceD0);  // D0 stays
    EXPECT_EQ(Caps->DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(Caps->DeviceState[PowerSystemHibernate], PowerDeviceD1);  // the bus's
    EXPECT_EQ(Caps->DeviceState[PowerSystemShutdown], PowerDeviceD2);
    EXPECT_EQ(Buffer.At64(), 0u);  // a 64-byte record has no address field
    EXPECT_EQ(L.CapabilitiesQueries, 1u);
    // What the bus stack was asked to fill: a zeroed extended record with
    // no address and no UI number.
    std::vector<UCHAR> Asked(72, 0);
    Asked[0] = 72;
    Asked[2] = 1;
    std::fill(Asked.begin() + 8, Asked.begin() + 16, 0xFF);
    EXPECT_EQ(L.CapabilitiesSeen, Asked);
}

// Refused or failed queries leave the caller's record as it was: a bad
// record (not passed on), a bus stack that fails, passes the query through
// untouched, or cannot be asked.
TEST_F(PortIdentity, RefusedQueriesLeaveTheRecordUntouched)
{
    ASSERT_NO_FATAL_FAILURE(StartWithPort());
    struct Case {
        USHORT Size;
        USHORT Version;
        std::function<void()> Arm;
        NTSTATUS Status;
        ULONG Queries;  // reaching the bus stack
    };
    LowerDriverState& L = LowerDriver();
    const Case Cases[] = {
        {72, 2, [] {}, STATUS_UNSUCCESSFUL, 0},
        {63, 1, [] {}, STATUS_UNSUCCESSFUL, 0},
        {72, 0, [] {}, STATUS_UNSUCCESSFUL, 0},
        {72, 1, [&] { L.CapabilitiesStatus = STATUS_DEVICE_NOT_READY; }, STATUS_DEVICE_NOT_READY, 1},
        {72, 1, [&] { L.CapabilitiesAsIs = true; }, STATUS_NOT_SUPPORTED, 1},
        {72, 1, [] { HkFaultFailNth(HkFault::IrpAllocate, 2); }, STATUS_INSUFFICIENT_RESOURCES, 0},
    };
    for (const Case& C : Cases) {
        L.CapabilitiesStatus = STATUS_SUCCESS;
        L.CapabilitiesAsIs = false;
        L.CapabilitiesQueries = 0;
        CapsBuffer Buffer;
        memset(Buffer.Bytes, 0x5A, sizeof(Buffer.Bytes));
        Buffer.Caps()->Size = C.Size;
        Buffer.Caps()->Version = C.Version;
        CapsBuffer Before = Buffer;
        C.Arm();  // the 1st request allocated is this test's own
        Request R = SendPnp(PortDevice, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION Stack) {
            Stack->Parameters.DeviceCapabilities.Capabilities = Buffer.Caps();
        });
        HkFaultReset();
        EXPECT_EQ(R.Status, C.Status) << C.Size << "/" << C.Version;
        EXPECT_EQ(memcmp(Before.Bytes, Buffer.Bytes, sizeof(Buffer.Bytes)), 0);
        EXPECT_EQ(L.CapabilitiesQueries, C.Queries);
    }
}

// The hardware key of a port device exists only for a device the PnP
// manager knows, so these run with the bus installed as a root device.
class DeviceConfig : public DriverFixture {
protected:
    PortExtension* Port = nullptr;

    void ReportPort(UCHAR IsControl, const WCHAR* Name)
    {
        ASSERT_NO_FATAL_FAILURE(InstallThroughPnp());
        Port = MakePort(IsControl, Name);
        ASSERT_NE(Port, nullptr);
        ScheduleRescan(Bus);
        Rescan();
        ASSERT_NE(HkPnpNodeOfPdo(Port->Header.Self), nullptr);
    }

    std::u16string KeyPath(PortExtension* Of = nullptr)
    {
        char Instance[32];
        snprintf(Instance, sizeof(Instance), "DRAVOLUX\\DEVICES\\%04u", (Of ? Of : Port)->Index);
        std::u16string Wide(Instance, Instance + strlen(Instance));
        return HkPnpEnumKeyPath(reinterpret_cast<const WCHAR*>(Wide.c_str())) + u"\\Device Parameters";
    }

    Request QueryResources(PortExtension* Of = nullptr)
    {
        return SendPnp((Of ? Of : Port)->Header.Self, IRP_MN_QUERY_RESOURCES, nullptr, STATUS_NOT_SUPPORTED, 0);
    }

    void Unreport()
    {
        // Leave the port out of the next relations so the manager removes it.
        Port->Present = 0;
        ScheduleRescan(Bus);
        Rescan();
    }
};

// QUERY_RESOURCES publishes the name (prefixed for a control port device,
// whole at its longest) and the role, and completes with the status it
// carried. The key is opened for writing: the host registry checks the
// access of the handle a value is set through, so a key opened with
// STANDARD_RIGHTS_WRITE alone would fail with STATUS_ACCESS_DENIED.
TEST_F(DeviceConfig, QueryResourcesPublishesNameAndRole)
{
    static WCHAR Long[128];
    for (int i = 0; i < 127; i++) {
        Long[i] = (WCHAR)('A' + i % 26);
    }
    const struct {
        UCHAR IsControl;
        const WCHAR* Name;
        std::u16string Published;
    } Cases[] = {{1, L"COM3", u"CORVESS_COM3"}, {0, L"COM3", u"COM3"}, {1, Long, u"CORVESS_" + U16(Long)}};
    ASSERT_NO_FATAL_FAILURE(InstallThroughPnp());
    std::vector<PortExtension*> Ports;
    for (const auto& C : Cases) {
        Ports.push_back(MakePort(C.IsControl, C.Name));
    }
    ScheduleRescan(Bus);
    Rescan();
    for (size_t i = 0; i < Ports.size(); i++) {
        const auto& C = Cases[i];
        EXPECT_EQ(QueryResources(Ports[i]).Status, STATUS_NOT_SUPPORTED);
        std::u16string Path = KeyPath(Ports[i]);
        const WCHAR* Key = reinterpret_cast<const WCHAR*>(Path.c_str());
        ULONG Type = 0;
        std::vector<UCHAR> Data;
        ASSERT_EQ(HkRegGetValue(Key, L"PortName", &Type, &Data), STATUS_SUCCESS);
        EXPECT_EQ(Type, (ULONG)REG_SZ);
        ASSERT_EQ(Data.size(), (C.Published.size() + 1) * 2);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(Data.data()), C.Published.size() + 1),
                  std::u16string(C.Published.c_str(), C.Published.size() + 1));
        ULONG IsControl = 7;
        ASSERT_EQ(HkRegGetDword(Key, L"IsControl", &IsControl), STATUS_SUCCESS);
        EXPECT_EQ(IsControl, C.IsControl);
        Ports[i]->Present = 0;  // left out of the next relations, so removed
    }
    ScheduleRescan(Bus);
    Rescan();
}

// A PnP manager that starts the port without asking for its resources
// still leaves both values for the function driver. A failed write fails
// QUERY_RESOURCES (nothing written after it) but never the start.
TEST_F(DeviceConfig, StartPublishesTooAndFailedWritesFailOnlyTheQuery)
{
    ASSERT_NO_FATAL_FAILURE(ReportPort(0, L"COM5"));
    std::u16string Path = KeyPath();
    const WCHAR* Key = reinterpret_cast<const WCHAR*>(Path.c_str());
    auto Clear = [&] {
        HkRegDeleteValue(Key, L"PortName");
        HkRegDeleteValue(Key, L"IsControl");
    };
    Clear();
    EXPECT_EQ(SendPnp(Port->Header.Self, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    std::u16string Name;
    ASSERT_EQ(HkRegGetString(Key, L"PortName", &Name), STATUS_SUCCESS);
    EXPECT_EQ(Name, u"COM5");
    ULONG IsControl = 7;
    ASSERT_EQ(HkRegGetDword(Key, L"IsControl", &IsControl), STATUS_SUCCESS);
    EXPECT_EQ(IsControl, 0u);

    const std::function<void()> Failures[] = {
        [] { HkFaultFailNth(HkFault::RegistryWrite, 1); },
        [] { HkFaultFailTag(DVX_SCRATCH_TAG); },
        [] {
            HkFaultFailNth(HkFault::RegistryOpenKey, 1);
            HkFaultFailNth(HkFault::RegistryCreateKey, 1);
        },
    };
    for (const auto& Arm : Failures) {
        Clear();
        Arm();
        Request R = QueryResources();
        HkFaultReset();
        EXPECT_FALSE(NT_SUCCESS(R.Status));
        EXPECT_FALSE(HkRegValueExists(Key, L"PortName"));
        EXPECT_FALSE(HkRegValueExists(Key, L"IsControl"));
    }
    HkFaultFailTag(DVX_SCRATCH_TAG);
    EXPECT_EQ(QueryResources().Status, STATUS_INSUFFICIENT_RESOURCES);
    HkFaultFailNth(HkFault::RegistryWrite, 1);
    EXPECT_EQ(SendPnp(Port->Header.Self, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    HkFaultReset();
    EXPECT_EQ(Port->Header.PnpState, Started);
    EXPECT_FALSE(HkRegValueExists(Key, L"PortName"));
    Unreport();
}

}  // namespace
