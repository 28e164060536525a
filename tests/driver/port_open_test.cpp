// Opening and closing port devices: the opener, its permission word, the
// DOS link, the next waiting client and the close that retires a client.
#include "control_fixture.h"

namespace drvtest {
namespace {

class PortOpenTest : public ControlFixture {
protected:
    PortExtension* Client = nullptr;
    PortExtension* ControlPort = nullptr;

    void SetUpCom3()
    {
        ASSERT_NO_FATAL_FAILURE(StartBus());
        ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &ControlPort));
        HkClockAdvance(RescanDelayMs);  // let the creation's rescan go by
    }

    static std::u16string Decimal(HANDLE Id)
    {
        std::string Text = std::to_string(reinterpret_cast<ULONG_PTR>(Id));
        return std::u16string(Text.begin(), Text.end());
    }
};

TEST_F(PortOpenTest, OpeningTheWaitingClientRecordsTheOpenerAndSpawnsTheNext)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    SetPermission(u"COM3", u"C:\\Tools\\term.exe", 0x15);
    PEPROCESS Term = NewProcess(u"C:\\Tools\\term.exe");
    EXPECT_FALSE(RescanArmed());

    Request R = OpenAs(Client, Term);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_EQ(R.Returned, STATUS_SUCCESS);
    EXPECT_EQ(R.Information, 0u);

    ASSERT_NE(Client->ImagePath, nullptr);
    EXPECT_EQ(U16(Client->ImagePath), u"C:\\Tools\\term.exe");
    EXPECT_EQ(Client->ProcessId, HkPsProcessId(Term));
    EXPECT_EQ(Client->Function.Permissions, 0x15u);
    EXPECT_EQ(Client->OpenCount, 1);
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"<none>");
    EXPECT_EQ(FriendlyName(0),
              u"Serial Port \"COM3\" opened by \"C:\\Tools\\term.exe\" (Pid: " + Decimal(Client->ProcessId) + u")");

    // Exactly one successor, lowest free Index, tail of the client lists.
    std::vector<PortExtension*> Ports = PortsOnList();
    ASSERT_EQ(Ports.size(), 3u);
    PortExtension* Next = Ports[2];
    EXPECT_EQ(Next->Index, 2u);
    EXPECT_EQ(Next->IsControl, 0);
    EXPECT_EQ(Next->Present, 1);
    EXPECT_EQ(Next->Function.Permissions, 0u);
    EXPECT_EQ(Next->ImagePath, nullptr);
    EXPECT_EQ(Next->PortName, Client->PortName);
    EXPECT_EQ(Next->LinkName, Client->LinkName);
    EXPECT_EQ(Next->Group, Client->Group);
    EXPECT_EQ(GroupMembers(&Client->Group->ClientList), (std::vector<PortExtension*>{Client, Next}));
    EXPECT_EQ(FunctionMembers(&Client->Group->ClientFunctionList), (std::vector<PortExtension*>{Client, Next}));
    EXPECT_EQ(FriendlyName(2), u"Serial Port \"COM3\" waiting for open");
    EXPECT_TRUE(RescanArmed());
}

TEST_F(PortOpenTest, OpeningTheControlPortOnlyCountsAndRecords)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    PEPROCESS Tool = NewProcess(u"C:\\Tools\\admin.exe");
    EXPECT_EQ(OpenAs(ControlPort, Tool).Status, STATUS_SUCCESS);
    EXPECT_EQ(ControlPort->OpenCount, 1);
    EXPECT_EQ(U16(ControlPort->ImagePath), u"C:\\Tools\\admin.exe");
    EXPECT_EQ(ControlPort->Function.Permissions, 7u);
    EXPECT_EQ(Bus->PortCount, 2u);
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"\\Device\\Elsewhere");
    EXPECT_EQ(FriendlyName(1), u"ZARVIK Corvess Serial Port (COM3)");
    EXPECT_FALSE(RescanArmed());

    EXPECT_EQ(Close(ControlPort).Status, STATUS_SUCCESS);
    EXPECT_EQ(ControlPort->OpenCount, 0);
    EXPECT_EQ(ControlPort->Present, 1);
    EXPECT_FALSE(RescanArmed());
}

TEST_F(PortOpenTest, PermissionWordFallsBackToThree)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    const std::u16string Key = u"\\Registry\\Machine\\Software\\ZARVIK Software\\CorvessSerialPorts\\COM3\\Permissions";
    PEPROCESS Term = NewProcess(u"C:\\Tools\\term.exe");

    // No key at all.
    ASSERT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS);
    EXPECT_EQ(Client->Function.Permissions, 3u);

    // FromEnd, when not 0, moves the data of the answer to that many bytes
    // from the end of the reader's block (as far as it fits).
    struct Case {
        const char* What;
        ULONG Type;
        std::vector<UCHAR> Data;
        ULONG Expected;
        LONG FromEnd;
    } Cases[] = {
        {"no value for this opener", REG_DWORD, {}, 3, 0},
        {"4-byte dword", REG_DWORD, {9, 0, 0, 0}, 9, 0},
        {"4-byte binary", REG_BINARY, {1, 1, 0, 0}, 0x101, 0},
        {"2 bytes", REG_BINARY, {5, 0}, 3, 0},
        {"8 bytes", REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}, 3, 0},
        {"empty", REG_BINARY, {0}, 3, 0},
        {"data ends the block", REG_DWORD, {9, 0, 0, 0}, 9, -4},
        {"data runs past the block", REG_DWORD, {9, 0, 0, 0}, 3, -2},
        {"data past the block", REG_DWORD, {9, 0, 0, 0}, 3, 4},
    };
    LONG FromEnd = 0;
    HkRegSetQueryHook([&](const std::u16string&, KEY_VALUE_INFORMATION_CLASS, PVOID Information, ULONG Length,
                          NTSTATUS Status) {
        auto* Info = static_cast<PKEY_VALUE_FULL_INFORMATION>(Information);
        PUCHAR Block = static_cast<PUCHAR>(Information);
        if (NT_SUCCESS(Status) && FromEnd != 0) {
            ULONG At = Length + FromEnd;
            for (ULONG i = 0; i < Info->DataLength && At + i < Length; i++) {
                Block[At + i] = Block[Info->DataOffset + i];
            }
            Info->DataOffset = At;
        }
        return Status;
    });
    for (const Case& C : Cases) {
        FromEnd = C.FromEnd;
        PortExtension* Waiting = LastClient();
        HkRegDeleteKey(W(Key.c_str()));
        ASSERT_EQ(HkRegCreateKey(W(Key.c_str())), STATUS_SUCCESS);
        if (!C.Data.empty()) {
            ULONG Length = std::string(C.What) == "empty" ? 0 : (ULONG)C.Data.size();
            ASSERT_EQ(HkRegSetValue(W(Key.c_str()), L"c:\\tools\\TERM.exe", C.Type, C.Data.data(), Length),
                      STATUS_SUCCESS);
        }
        ASSERT_EQ(OpenAs(Waiting, Term).Status, STATUS_SUCCESS);
        EXPECT_EQ(Waiting->Function.Permissions, C.Expected) << C.What;
    }
}

TEST_F(PortOpenTest, EachOpenDeletesTheLinkAgain)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PEPROCESS Term = NewProcess(u"C:\\Tools\\term.exe");
    ASSERT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS);  // no link: no error
    ASSERT_EQ(MakeLink(u"\\DosDevices\\COM3", u"\\Device\\Again"), STATUS_SUCCESS);
    ASSERT_EQ(OpenAs(LastClient(), Term).Status, STATUS_SUCCESS);
    EXPECT_EQ(LinkTargetOf(u"\\DosDevices\\COM3"), u"<none>");
}

TEST_F(PortOpenTest, SecondOpenAndCloses)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PEPROCESS First = NewProcess(u"C:\\a.exe");
    PEPROCESS Second = NewProcess(u"C:\\b.exe");
    ASSERT_EQ(OpenAs(Client, First).Status, STATUS_SUCCESS);
    PWSTR FirstPath = Client->ImagePath;
    ASSERT_EQ(OpenAs(Client, Second).Status, STATUS_SUCCESS);
    EXPECT_EQ(Client->OpenCount, 2);
    EXPECT_EQ(U16(Client->ImagePath), u"C:\\b.exe");
    EXPECT_EQ(Client->ProcessId, HkPsProcessId(Second));
    EXPECT_FALSE(HkPoolIsLive(FirstPath));
    EXPECT_EQ(Indexes(), (std::vector<ULONG>{0, 1, 2, 3}));

    HkClockAdvance(RescanDelayMs);
    EXPECT_FALSE(RescanArmed());
    Request R = Close(Client);
    EXPECT_EQ(R.Status, STATUS_SUCCESS);
    EXPECT_EQ(R.Information, 0u);
    EXPECT_EQ(Client->Present, 0);
    EXPECT_EQ(Client->OpenCount, 1);
    EXPECT_TRUE(RescanArmed());

    // Present stays 0 and the rescan is due again on the next close.
    HkClockAdvance(RescanDelayMs);
    EXPECT_EQ(Close(Client).Status, STATUS_SUCCESS);
    EXPECT_EQ(Client->OpenCount, 0);
    EXPECT_TRUE(RescanArmed());

    // At the next bus relations the closed client is left out.
    std::vector<PDEVICE_OBJECT> Reported = TakeRelations(QueryRelations(BusDevice, BusRelations).Information);
    EXPECT_EQ(std::count(Reported.begin(), Reported.end(), Client->Header.Self), 0);
    EXPECT_EQ(Reported.size(), 3u);
}

// The opener comes from the platform's record of the process, not from its
// user-mode parameters: breaking those changes nothing. A process with no
// name, or one whose name cannot be had, still opens, without an opener.
TEST_F(PortOpenTest, OpenerComesFromTheProcessRecord)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    const struct {
        HK_PS_MALFORMED Kind;
        bool Named;
    } Cases[] = {{HkPsQueryFails, false},
                 {HkPsNoImage, false},
                 {HkPsNullPeb, true},
                 {HkPsNullParameters, true},
                 {HkPsGarbageImageLength, true}};
    for (const auto& C : Cases) {
        PortExtension* Waiting = LastClient();
        PEPROCESS Process = NewProcess(u"C:\\odd.exe");
        HkPsSetMalformed(Process, C.Kind);
        ASSERT_EQ(OpenAs(Waiting, Process).Status, STATUS_SUCCESS);
        EXPECT_EQ(Waiting->OpenCount, 1);
        EXPECT_EQ(Waiting->ImagePath ? U16(Waiting->ImagePath) : u"<none>", C.Named ? u"C:\\odd.exe" : u"<none>")
            << C.Kind;
        EXPECT_EQ(Waiting->ProcessId, C.Named ? HkPsProcessId(Process) : nullptr);
        EXPECT_EQ(Waiting->Function.Permissions, C.Named ? 3u : 0u);
        if (!C.Named) {
            EXPECT_EQ(FriendlyName(Waiting->Index), u"Serial Port \"COM3\" waiting for open");
            EXPECT_EQ(LoadPermissions(Waiting), STATUS_INVALID_PARAMETER);
        }
    }
}

// Every answer the platform may give to the image-name queries, and the
// other failures of the read, against a recorded first opener: the second
// is recorded, left out (the first stays) or dropped (no pool).
TEST_F(PortOpenTest, SecondOpenerIsRecordedOnlyFromAWellFormedName)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    enum Outcome { Recorded, LeftOut, Dropped };
    enum Trouble { None, AnswerPool, CopyPool, ProcessGone };
    const NTSTATUS Ilm = STATUS_INFO_LENGTH_MISMATCH, Ok = STATUS_SUCCESS;
    struct Case {
        const char* What;
        HK_PS_IMAGE_ANSWER Shape;  // the true answer is {Ilm, 34, Ok, 16, 16}
        Trouble With;
        Outcome Expected;
    } Cases[] = {
        {"length mismatch", {Ilm, 34, Ok, 16, 16}, None, Recorded},
        {"buffer too small", {STATUS_BUFFER_TOO_SMALL, 34, Ok, 16, 16}, None, Recorded},
        {"buffer overflow", {STATUS_BUFFER_OVERFLOW, 34, Ok, 16, 16}, None, Recorded},
        {"size query succeeds", {Ok, 34, Ok, 16, 16}, None, LeftOut},
        {"size query fails", {STATUS_ACCESS_DENIED, 34, Ok, 16, 16}, None, LeftOut},
        {"needs only the header", {Ilm, 16, Ok, 16, 16}, AnswerPool, LeftOut},
        {"largest answer", {Ilm, 16 + 65536, Ok, 16, 16}, None, Recorded},
        {"past the largest", {Ilm, 16 + 65537, Ok, 16, 16}, None, LeftOut},
        {"no pool for the answer", {Ilm, 34, Ok, 16, 16}, AnswerPool, Dropped},
        {"second query fails", {Ilm, 34, STATUS_ACCESS_DENIED, 16, 16}, None, LeftOut},
        {"empty", {Ilm, 34, Ok, 16, 0}, None, LeftOut},
        {"odd length", {Ilm, 34, Ok, 16, 5}, None, LeftOut},
        {"text in the header", {Ilm, 34, Ok, 0, 16}, None, LeftOut},
        {"text past the block", {Ilm, 34, Ok, 36, 2}, None, LeftOut},
        {"text runs past the block", {Ilm, 34, Ok, 16, 20}, None, LeftOut},
        {"text fills the block", {Ilm, 32, Ok, 16, 16}, None, Recorded},
        {"no pool for the copy", {Ilm, 34, Ok, 16, 16}, CopyPool, Dropped},
        {"process cannot be opened", {Ilm, 34, Ok, 16, 16}, ProcessGone, LeftOut},
    };
    PEPROCESS First = NewProcess(u"C:\\a.exe");
    for (const Case& C : Cases) {
        {
            HkProcessContext Context(First);
            ASSERT_EQ(RecordOpener(Client), STATUS_SUCCESS);
        }
        PEPROCESS Second = NewProcess(u"C:\\b.exe");
        HkPsShapeImageAnswer(Second, &C.Shape);
        if (C.With == AnswerPool) {
            HkFaultFailTag(DVX_TAG);
        } else if (C.With == CopyPool) {
            HkFaultFailNth(HkFault::Pool, 2);
        } else if (C.With == ProcessGone) {
            HkPsDestroyProcess(Second);
        }
        NTSTATUS Status;
        {
            HkProcessContext Context(Second);
            Status = RecordOpener(Client);
        }
        HkFaultReset();
        const NTSTATUS Statuses[] = {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES};
        const char16_t* Paths[] = {u"C:\\b.exe", u"C:\\a.exe", u"<none>"};
        EXPECT_EQ(Status, Statuses[C.Expected]) << C.What;
        EXPECT_EQ(Client->ImagePath ? U16(Client->ImagePath) : u"<none>", Paths[C.Expected]) << C.What;
        // The process is opened for the least access that names it.
        EXPECT_EQ(HkObLastHandleAccess(*PsProcessType), 0x1000u) << C.What;
    }
}

// A reload that reads the registry while a new opener comes keeps the new
// opener's word.
TEST_F(PortOpenTest, ReloadBesideANewOpenerKeepsTheNewOpenersWord)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    SetPermission(u"COM3", u"C:\\a.exe", 0x15);
    SetPermission(u"COM3", u"C:\\b.exe", 0x22);
    PEPROCESS First = NewProcess(u"C:\\a.exe");
    PEPROCESS Second = NewProcess(u"C:\\b.exe");
    {
        HkProcessContext Context(First);
        ASSERT_EQ(RecordOpener(Client), STATUS_SUCCESS);
    }
    bool Came = false;
    HkRegSetQueryHook([&](const std::u16string&, KEY_VALUE_INFORMATION_CLASS, PVOID, ULONG, NTSTATUS Status) {
        if (!Came) {
            Came = true;
            HkProcessContext Context(Second);
            EXPECT_EQ(RecordOpener(Client), STATUS_SUCCESS);
            EXPECT_EQ(LoadPermissions(Client), STATUS_SUCCESS);
        }
        return Status;
    });
    EXPECT_EQ(LoadPermissions(Client), STATUS_SUCCESS);
    EXPECT_TRUE(Came);
    EXPECT_EQ(Client->Function.Permissions, 0x22u);
}

TEST_F(PortOpenTest, FailuresInsideAnOpenNeverReachTheOpener)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    PEPROCESS Term = NewProcess(u"C:\\Tools\\term.exe");

    // No successor can be made.
    HkFaultFailAlways(HkFault::DeviceCreate, true);
    ASSERT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS);
    HkFaultReset();
    EXPECT_EQ(Client->OpenCount, 1);
    EXPECT_EQ(Bus->PortCount, 2u);
    EXPECT_FALSE(RescanArmed());

    // No pool for the key path or the copy of the opener: the word stays.
    for (ULONG Nth : {1u, 2u}) {
        Client->Function.Permissions = 0x44;
        HkFaultFailNth(HkFault::Pool, Nth);
        EXPECT_EQ(LoadPermissions(Client), STATUS_INSUFFICIENT_RESOURCES) << Nth;
        HkFaultReset();
        EXPECT_EQ(Client->Function.Permissions, 0x44u);
    }
}

TEST_F(PortOpenTest, OrphanOpensWithoutSuccessorAndClosesWithoutRescan)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    {
        PortListHold Hold(Bus, TRUE);
        UnlinkEntry(&Client->BusLink);
        Bus->PortCount--;
        Client->ParentBus = nullptr;
        Client->ReportedMissing = 1;
    }
    PEPROCESS Term = NewProcess(u"C:\\Tools\\term.exe");
    ASSERT_EQ(OpenAs(Client, Term).Status, STATUS_SUCCESS);
    EXPECT_EQ(U16(Client->ImagePath), u"C:\\Tools\\term.exe");
    EXPECT_EQ(Client->Function.Permissions, 3u);
    EXPECT_EQ(Bus->PortCount, 1u);
    EXPECT_FALSE(RescanArmed());
    ASSERT_EQ(Close(Client).Status, STATUS_SUCCESS);
    EXPECT_EQ(Client->Present, 0);
    EXPECT_FALSE(RescanArmed());
    DestroyPortDevice(Client->Header.Self, Client);
}

TEST_F(PortOpenTest, LongImagePathIsKeptWholeButTheFriendlyNameIsCut)
{
    ASSERT_NO_FATAL_FAILURE(SetUpCom3());
    std::u16string Long = u"C:\\" + std::u16string(996, u'x') + u".e";
    ASSERT_EQ(Long.size(), 1001u);
    PEPROCESS Process = NewProcess(Long.c_str());
    ASSERT_EQ(OpenAs(Client, Process).Status, STATUS_SUCCESS);
    EXPECT_EQ(U16(Client->ImagePath), Long);
    std::u16string Name = FriendlyName(0);
    EXPECT_EQ(Name.size(), 255u);
    EXPECT_EQ(Name, (u"Serial Port \"COM3\" opened by \"" + Long).substr(0, 255));

    // QueryPorts carries the whole path.
    ControlReply Reply = QueryPortsRequest(4096);
    ASSERT_EQ(Reply.Status, STATUS_SUCCESS);
    dravolux::PortInfoHeader Header;
    std::memcpy(&Header, Reply.Output.data(), sizeof(Header));
    EXPECT_EQ(Header.RecordSize, 48u + 10u + 2u * 1002u);
    EXPECT_EQ(Header.PathOffset, 58u);
}

}  // namespace
}  // namespace drvtest
