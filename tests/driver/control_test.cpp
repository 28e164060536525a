// Control requests: which requests are served, their checks, and the exact
// bytes of the port list.
#include "control_fixture.h"

namespace drvtest {
namespace {

using dravolux::PortInfoHeader;

class ControlTest : public ControlFixture {
protected:
    static PortInfoHeader HeaderAt(const std::vector<UCHAR>& Bytes, size_t Offset)
    {
        PortInfoHeader Header;
        std::memcpy(&Header, Bytes.data() + Offset, sizeof(Header));
        return Header;
    }

    static std::u16string TextAt(const std::vector<UCHAR>& Bytes, size_t Offset)
    {
        std::u16string Text;
        for (size_t i = Offset; i + 1 < Bytes.size(); i += 2) {
            char16_t Unit = static_cast<char16_t>(Bytes[i] | (Bytes[i + 1] << 8));
            if (Unit == 0) {
                break;
            }
            Text.push_back(Unit);
        }
        return Text;
    }
};

TEST_F(ControlTest, RequestToAPortDeviceIsRefusedUncounted)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Client;
    PortExtension* Control;
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &Control));
    LONG Before = Bus->OutstandingIo;
    ULONG Type = 1;
    ControlReply Reply = ControlFixture::Control(dravolux::IoctlQueryPorts, &Type, 4, 200, Client->Header.Self);
    EXPECT_EQ(Reply.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Reply.Information, UntouchedInformation);
    EXPECT_EQ(Bus->OutstandingIo, Before);
}

TEST_F(ControlTest, DeletedBusRefusesAndDropsItsCount)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    LONG Before = Bus->OutstandingIo;
    PnpStateValue Saved = Bus->Header.PnpState;
    Bus->Header.PnpState = Deleted;
    ControlReply Reply = CreatePortRequest(u"COM3");
    Bus->Header.PnpState = Saved;
    EXPECT_EQ(Reply.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Reply.Information, UntouchedInformation);
    EXPECT_EQ(Bus->OutstandingIo, Before);
    EXPECT_EQ(Bus->PortCount, 0u);
}

TEST_F(ControlTest, MalformedPortRequestsChangeNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    LONG Before = Bus->OutstandingIo;
    for (ULONG Code : {dravolux::IoctlCreatePort, dravolux::IoctlRemovePort}) {
        for (ULONG Size : {0u, 259u, 261u}) {
            dravolux::PortRequest Request = MakeRequest(u"COM3");
            Request.Size = Size;
            ControlReply Reply = Control(Code, &Request, sizeof(Request), sizeof(Request));
            EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER) << Size;
            EXPECT_EQ(Reply.Information, UntouchedInformation);
        }
        // A short record with a good Size word, with or without room for a reply.
        dravolux::PortRequest Request = MakeRequest(u"COM3");
        for (ULONG Input : {0u, 2u, 4u, 100u, 259u}) {
            ControlReply Reply = Control(Code, &Request, Input, sizeof(Request));
            EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER) << Input;
            EXPECT_EQ(Reply.Information, UntouchedInformation);
            Reply = Control(Code, &Request, Input, 0);
            EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER) << Input;
        }
    }
    EXPECT_EQ(Bus->PortCount, 0u);
    EXPECT_EQ(Bus->OutstandingIo, Before);
    EXPECT_FALSE(RescanArmed());

    ControlReply Reply = Control(0x2A0014, nullptr, 0, 16);
    EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Reply.Information, UntouchedInformation);
    Reply = Control(0x220000, nullptr, 0, 0);
    EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER);
}

TEST_F(ControlTest, QueryPortsChecksItsInput)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ULONG Type = 1;
    ControlReply Reply = Control(dravolux::IoctlQueryPorts, &Type, 3, 64);
    EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Reply.Information, UntouchedInformation);
    for (ULONG Other : {0u, 2u, 0x101u}) {
        Reply = QueryPortsRequest(64, Other);
        EXPECT_EQ(Reply.Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Reply.Information, 64u);
        EXPECT_TRUE(Reply.Output.empty());
    }
}

// Served before the bus is started, too.
TEST_F(ControlTest, EmptyBusListsOnlyTheEndMarker)
{
    ASSERT_NO_FATAL_FAILURE(AddBus());
    ControlReply Reply = QueryPortsRequest(4);
    EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(Reply.Information, 4u);
    EXPECT_EQ(Reply.Output, (std::vector<UCHAR>{0, 0, 0, 0}));
    Reply = QueryPortsRequest(3);
    EXPECT_EQ(Reply.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Reply.Information, 0u);
    EXPECT_EQ(CreatePortRequest(u"COM3").Status, STATUS_SUCCESS);
}

TEST_F(ControlTest, ListAfterCreatingCom3IsExact)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    ASSERT_EQ(CreatePortRequest(u"COM3").Status, STATUS_SUCCESS);
    ControlReply Reply = QueryPortsRequest(120);
    ASSERT_EQ(Reply.Status, STATUS_SUCCESS);
    ASSERT_EQ(Reply.Information, 120u);

    std::vector<UCHAR> Expected;
    auto Put32 = [&](uint32_t V) {
        for (int i = 0; i < 4; i++) {
            Expected.push_back((V >> (8 * i)) & 0xFF);
        }
    };
    auto PutRecord = [&](uint32_t Index, uint32_t IsControl, uint32_t Permissions) {
        Put32(58);
        Put32(Index);
        Put32(IsControl);
        Put32(48);
        Put32(0);
        Put32(0);  // reserved
        Put32(0);  // ProcessId, low and high
        Put32(0);
        Put32(Permissions);
        Put32(0);  // StatusWord1
        Put32(0);  // StatusWord2
        Put32(0);  // reserved
        for (char16_t c : std::u16string(u"COM3")) {
            Expected.push_back(c & 0xFF);
            Expected.push_back(c >> 8);
        }
        Expected.push_back(0);
        Expected.push_back(0);
    };
    PutRecord(0, 0, 0);
    PutRecord(1, 1, 7);
    Put32(0);
    EXPECT_EQ(Reply.Output, Expected);

    Reply = QueryPortsRequest(119);
    EXPECT_EQ(Reply.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Reply.Information, 0u);
    Reply = QueryPortsRequest(1000);
    EXPECT_EQ(Reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(Reply.Information, 120u);
}

TEST_F(ControlTest, ListCarriesOpenerAndFunctionWords)
{
    ASSERT_NO_FATAL_FAILURE(StartBus());
    PortExtension* Client;
    PortExtension* Control;
    ASSERT_NO_FATAL_FAILURE(CreateManaged(u"COM3", &Client, &Control));
    SetPermission(u"COM3", u"C:\\t.exe", 0x21);
    PEPROCESS Process = NewProcess(u"C:\\t.exe");
    ASSERT_EQ(OpenAs(Client, Process).Status, STATUS_SUCCESS);
    Client->Function.StatusWord1 = 1;  // as the function driver sets them
    Client->Function.StatusWord2 = 0;

    // Reading the words for a list changes neither.
    QueryPortsRequest(1000);
    ControlReply Reply = QueryPortsRequest(1000);
    ASSERT_EQ(Reply.Status, STATUS_SUCCESS);
    const ULONG Path = (8 + 1) * 2;  // C:\t.exe and its 0 unit
    PortInfoHeader First = HeaderAt(Reply.Output, 0);
    EXPECT_EQ(First.RecordSize, 48u + 10u + Path);
    EXPECT_EQ(First.NameOffset, 48u);
    EXPECT_EQ(First.PathOffset, 58u);
    EXPECT_EQ(First.ProcessId, (uint64_t)(ULONG_PTR)HkPsProcessId(Process));
    EXPECT_EQ(First.Permissions, 0x21u);
    EXPECT_EQ(First.StatusWord1, 1u);
    EXPECT_EQ(First.StatusWord2, 0u);
    EXPECT_EQ(First.Reserved1, 0u);
    EXPECT_EQ(First.Reserved2, 0u);
    EXPECT_EQ(TextAt(Reply.Output, 48), u"COM3");
    EXPECT_EQ(TextAt(Reply.Output, 58), u"C:\\t.exe");

    // The second record starts right after the path, at an even offset.
    PortInfoHeader Second = HeaderAt(Reply.Output, First.RecordSize);
    EXPECT_EQ(Second.Index, 1u);
    EXPECT_EQ(Second.IsControl, 1u);
    PortInfoHeader Third = HeaderAt(Reply.Output, First.RecordSize + Second.RecordSize);
    EXPECT_EQ(Third.Index, 2u);
    EXPECT_EQ(Third.PathOffset, 0u);
    EXPECT_EQ(Reply.Information, First.RecordSize + Second.RecordSize + Third.RecordSize + 4);
    EXPECT_EQ(Reply.Output[Reply.Information - 1], 0);

    // A port device not yet given its name has neither name nor offset.
    ASSERT_NE(MakePort(), nullptr);
    Reply = QueryPortsRequest(1000);
    PortInfoHeader Nameless = HeaderAt(Reply.Output, Reply.Information - 4 - 48);
    EXPECT_EQ(Nameless.RecordSize, 48u);
    EXPECT_EQ(Nameless.NameOffset, 0u);
}

}  // namespace
}  // namespace drvtest
