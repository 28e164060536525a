// Port devices between creation and removal, with two paths at once: one is
// held at an exact registry write (WriteGate) while the other runs. Records
// come before presence, an open and a removal never both succeed, a late
// open leaves a DOS name that went back alone, and a release beside an
// opener's writes frees nothing the opener still reads.
#include "control_fixture.h"

namespace drvtest {
namespace {

const char16_t Com3[] = u"\\DosDevices\\COM3";
const char16_t Serial2[] = u"\\Device\\Serial2";

class PortLifetimeConcurrency : public ControlFixture {
protected:
    PortExtension* Client = nullptr;
    PortExtension* ControlPort = nullptr;
    PEPROCESS Term = nullptr;

    void SetUp() override
    {
        ControlFixture::SetUp();
        Term = NewProcess(u"C:\\Tools\\term.exe");
    }

    // COM3 over \Device\Serial2, taken over; its pair started and reported.
    void SetUpCom3()
    {
        ASSERT_NO_FATAL_FAILURE(StartBus());
        ASSERT_EQ(MakeLink(Com3, Serial2), STATUS_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &ControlPort));
        ASSERT_NO_FATAL_FAILURE(StartPorts());
        ReportedIndexes();
    }

    NTSTATUS Remove(bool All)
    {
        return (All ? Control(dravolux::IoctlRemoveAllPorts, nullptr, 0, 0) : RemovePortRequest(u"COM3")).Status;
    }

    NTSTATUS RemoveDevice(PDEVICE_OBJECT Device) { return SendPnp(Device, IRP_MN_REMOVE_DEVICE).Status; }

    // Runs Path on a thread of its own while the gate holds it at its write,
    // runs Meanwhile, then lets Path go on and waits for it.
    template <typename P, typename M>
    void Interleave(WriteGate* Held, P Path, M Meanwhile)
    {
        std::thread Runner([&] { Path(); });
        Held->WaitEntered();
        Meanwhile();
        Held->Release();
        Runner.join();
    }

    bool DeviceExists(PDEVICE_OBJECT Device)
    {
        std::vector<PDEVICE_OBJECT> Devices = HkIoDevicesOfDriver(Driver);
        return std::find(Devices.begin(), Devices.end(), Device) != Devices.end();
    }
};

// ---------------------------------------------------------------------------
// Records before presence

struct NewPortCase {
    const char* What;
    ULONG Index;  // the port device whose records are held at their last value
    bool ByOpen;  // the next client of an open, not a CreatePort pair
};
void PrintTo(const NewPortCase& C, std::ostream* Out) { *Out << C.What; }

class PresenceConcurrency : public PortLifetimeConcurrency, public ::testing::WithParamInterface<NewPortCase> {};

TEST_P(PresenceConcurrency, NoPortIsReportedBeforeItsEnumKeyIsComplete)
{
    const NewPortCase& C = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartBus());
    if (C.ByOpen) {
        ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &ControlPort));
    }
    WriteGate Held(EnumKey(C.Index), u"ConfigFlags");
    Interleave(
        &Held,
        [&] { EXPECT_EQ(C.ByOpen ? OpenAs(Client, Term).Status : CreatePortRequest(u"COM3").Status, STATUS_SUCCESS); },
        [&] {
            EXPECT_FALSE(RecordsComplete(C.Index));
            for (ULONG Index : ReportedIndexes()) {
                EXPECT_TRUE(RecordsComplete(Index)) << "port " << Index << " reported before its records";
            }
        });
    std::vector<ULONG> Reported = ReportedIndexes();
    EXPECT_NE(std::find(Reported.begin(), Reported.end(), C.Index), Reported.end());
    for (PortExtension* Port : PortsOnList()) {
        EXPECT_TRUE(RecordsComplete(Port->Index)) << Port->Index;
        EXPECT_EQ(Port->ReportedMissing, 0) << "the rescan in between marked port " << Port->Index << " for good";
    }
}

INSTANTIATE_TEST_SUITE_P(Ports, PresenceConcurrency,
                         ::testing::Values(NewPortCase{"client of a new managed port", 0, false},
                                           NewPortCase{"control port device of a new managed port", 1, false},
                                           NewPortCase{"next client spawned by an open", 2, true}));

// A removal that runs while a new pair's records are written: RemoveAllPorts
// takes the pair, which never becomes present, and the name goes back;
// RemovePort finds it not started and leaves it.
TEST_F(PortLifetimeConcurrency, RemovalWhileANewPairIsWrittenIsNotUndone)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(MakeLink(Com3, Serial2), STATUS_SUCCESS);
    for (bool All : {true, false}) {
        SCOPED_TRACE(All ? "RemoveAllPorts" : "RemovePort");
        WriteGate Held(EnumKey(1), u"ConfigFlags");
        Interleave(
            &Held, [&] { EXPECT_EQ(CreatePortRequest(u"COM3").Status, STATUS_SUCCESS); },
            [&] { EXPECT_EQ(Remove(All), All ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY); });
        EXPECT_EQ(Bus->PortCount, All ? 0u : 2u);
        EXPECT_EQ(ReportedIndexes().size(), All ? 0u : 2u);
        EXPECT_EQ(LinkTargetOf(Com3), All ? Serial2 : u"<none>");
    }
}

// ---------------------------------------------------------------------------
// Opens against removals

struct OpenRemovalCase {
    const char* What;
    bool OfControl;     // the control port device is opened, not the client
    bool All;           // RemoveAllPorts, not RemovePort
    bool RemovalFirst;  // the removal marks the ports before the open comes
};
void PrintTo(const OpenRemovalCase& C, std::ostream* Out) { *Out << C.What; }

class OpenRemovalConcurrency : public PortLifetimeConcurrency, public ::testing::WithParamInterface<OpenRemovalCase> {};

TEST_P(OpenRemovalConcurrency, RemovalAndOpenNeverBothSucceed)
{
    const OpenRemovalCase& C = GetParam();
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PortExtension* Target = C.OfControl ? ControlPort : Client;
    if (C.RemovalFirst) {
        EXPECT_EQ(Remove(C.All), STATUS_SUCCESS);
        EXPECT_EQ(OpenAs(Target, Term).Status, STATUS_DELETE_PENDING);
        EXPECT_EQ(Target->OpenCount, 0);
        EXPECT_EQ(Target->ImagePath, nullptr);
        EXPECT_EQ(Bus->PortCount, 2u) << "no next client for a port that is leaving";
        return;
    }
    // The open is held at its first record write, after it was counted.
    WriteGate Held(EnumKey(Target->Index), u"DeviceDesc");
    Interleave(
        &Held, [&] { EXPECT_EQ(OpenAs(Target, Term).Status, STATUS_SUCCESS); },
        [&] { EXPECT_EQ(Remove(C.All), STATUS_DEVICE_BUSY); });
    EXPECT_EQ(Target->OpenCount, 1);
    for (PortExtension* Port : PortsOnList()) {
        EXPECT_EQ(Port->Present, 1) << Port->Index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, OpenRemovalConcurrency,
    ::testing::Values(OpenRemovalCase{"RemovePort, then client open", false, false, true},
                      OpenRemovalCase{"RemoveAllPorts, then client open", false, true, true},
                      OpenRemovalCase{"RemovePort, then control open", true, false, true},
                      OpenRemovalCase{"RemoveAllPorts, then control open", true, true, true},
                      OpenRemovalCase{"RemovePort during client open", false, false, false},
                      OpenRemovalCase{"RemoveAllPorts during client open", false, true, false},
                      OpenRemovalCase{"RemovePort during control open", true, false, false},
                      OpenRemovalCase{"RemoveAllPorts during control open", true, true, false}));

// ---------------------------------------------------------------------------
// Late opens: the control port device gave the DOS name back

struct LateOpenCase {
    const char* What;
    bool ByRemoval;      // RemovePort let the port go; otherwise the bus was unplugged
    bool DuringRecords;  // the name goes back while the open writes its records
    NTSTATUS Status;
};
void PrintTo(const LateOpenCase& C, std::ostream* Out) { *Out << C.What; }

class LateOpenConcurrency : public PortLifetimeConcurrency, public ::testing::WithParamInterface<LateOpenCase> {};

TEST_P(LateOpenConcurrency, NeverDeletesTheRestoredLink)
{
    const LateOpenCase& C = GetParam();
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    if (C.ByRemoval) {
        ASSERT_EQ(RemovePortRequest(u"COM3").Status, STATUS_SUCCESS);
        ReportedIndexes();
    } else {
        ASSERT_EQ(SendPnp(BusDevice, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    }
    auto NameGoesBack = [&] {
        EXPECT_EQ(RemoveDevice(ControlPort->Header.Self), STATUS_SUCCESS);
        EXPECT_EQ(LinkTargetOf(Com3), Serial2);
    };
    Request R{};
    auto Open = [&] { R = OpenAs(Client, Term); };
    if (C.DuringRecords) {
        WriteGate Held(EnumKey(Client->Index), u"DeviceDesc");
        Interleave(&Held, Open, NameGoesBack);
    } else {
        NameGoesBack();
        Open();
    }
    EXPECT_EQ(R.Status, C.Status);
    EXPECT_EQ(LinkTargetOf(Com3), Serial2);
    if (NT_SUCCESS(R.Status)) {
        EXPECT_EQ(Close(Client).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(RemoveDevice(Client->Header.Self), STATUS_SUCCESS);
    EXPECT_EQ(LinkTargetOf(Com3), Serial2);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, LateOpenConcurrency,
    ::testing::Values(LateOpenCase{"orphan opened after", false, false, STATUS_DELETE_PENDING},
                      LateOpenCase{"orphan opened during", false, true, STATUS_SUCCESS},
                      LateOpenCase{"removed client opened after", true, false, STATUS_DELETE_PENDING}));

// ---------------------------------------------------------------------------
// References during the writes

// The bus is unplugged and the PnP manager removes both port devices and
// the bus while an opener writes the client's records: the client's record,
// the bus record and the group stay until the open is done.
TEST_F(PortLifetimeConcurrency, ReleaseBesideAnOpenersWritesFreesNothingItReads)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PDEVICE_OBJECT ClientDevice = Client->Header.Self;
    PDEVICE_OBJECT Owner = BusDevice;
    PortGroup* Group = Client->Group;
    Request R{};
    WriteGate Held(EnumKey(Client->Index), u"DeviceDesc");
    Interleave(
        &Held, [&] { R = OpenAs(Client, Term); },
        [&] {
            EXPECT_EQ(SendPnp(BusDevice, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
            EXPECT_EQ(RemoveDevice(ControlPort->Header.Self), STATUS_SUCCESS);
            EXPECT_EQ(RemoveDevice(ClientDevice), STATUS_SUCCESS);
            EXPECT_EQ(RemoveBus().Status, STATUS_SUCCESS);
            EXPECT_TRUE(HkIoIsDeletePending(ClientDevice));
            EXPECT_TRUE(DeviceExists(ClientDevice));
            EXPECT_TRUE(DeviceExists(Owner));
            EXPECT_TRUE(HkPoolIsLive(Group));
        });
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_FALSE(DeviceExists(ClientDevice));
    EXPECT_FALSE(DeviceExists(Owner));
    EXPECT_FALSE(HkPoolIsLive(Group));
    EXPECT_EQ(LinkTargetOf(Com3), Serial2);
}

// A closed client is opened again while the PnP manager, told it is gone,
// releases it: the next client the open makes has no group to join and goes
// again; nothing is left over.
TEST_F(PortLifetimeConcurrency, OpenOfAReleasedClientLeavesNoSpareClient)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    ASSERT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS);
    ASSERT_EQ(Close(Client).Status, STATUS_SUCCESS);
    PDEVICE_OBJECT ClientDevice = Client->Header.Self;
    size_t Devices = HkIoDevicesOfDriver(Driver).size();
    Request R{};
    WriteGate Held(EnumKey(Client->Index), u"DeviceDesc");
    Interleave(
        &Held, [&] { R = OpenAs(Client, Term); },
        [&] {
            EXPECT_EQ(ReportedIndexes(), (std::vector<ULONG>{1, 2}));
            EXPECT_EQ(RemoveDevice(ClientDevice), STATUS_SUCCESS);
        });
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_FALSE(DeviceExists(ClientDevice));
    EXPECT_EQ(HkIoDevicesOfDriver(Driver).size(), Devices - 1);
    EXPECT_EQ(Indexes(), (std::vector<ULONG>{1, 2}));
}

}  // namespace
}  // namespace drvtest
