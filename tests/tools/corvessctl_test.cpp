// The management program over a scripted channel: reply parsing, buffer
// growth, output formats, messages and exit codes.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include <dravolux/control.h>

#include "core/app.h"
#include "core/check.h"
#include "core/format.h"
#include "core/records.h"
#include "core/text.h"
#include "corvessctl_fake_channel.h"

using namespace corvessctl;
using corvessctl_test::FakeChannel;
using corvessctl_test::ReplyBuilder;
using corvessctl_test::SentRequest;
using corvessctl_test::ServeList;

namespace {

const std::u16string Com3 = u"COM3";
const std::u16string Term = u"C:\\Tools\\term.exe";

struct RunResult {
    int Exit;
    std::string Out;
    std::string Err;
};

RunResult RunWith(FakeChannel& channel, std::vector<std::string> args) {
    std::ostringstream out, err;
    int exit = Run(args, channel, out, err);
    return {exit, out.str(), err.str()};
}

std::vector<PortInfo> ParseOk(const std::vector<uint8_t>& reply) {
    std::vector<PortInfo> ports;
    std::string error;
    EXPECT_TRUE(ParsePortInfo(reply.data(), reply.size(), ports, error)) << error;
    return ports;
}

}  // namespace

TEST(CorvessctlReply, TwoFreshPortsAreFiftyEightBytesEach) {
    std::vector<uint8_t> reply = ReplyBuilder().Port(0, false, &Com3, nullptr).Port(1, true, &Com3, nullptr, 0, 7).Finish();
    ASSERT_EQ(reply.size(), 120u);
    std::vector<PortInfo> ports = ParseOk(reply);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].Index, 0u);
    EXPECT_FALSE(ports[0].IsControl);
    EXPECT_EQ(ports[0].PortName, Com3);
    EXPECT_FALSE(ports[0].ImagePath.has_value());
    EXPECT_EQ(ports[1].Index, 1u);
    EXPECT_TRUE(ports[1].IsControl);
    EXPECT_EQ(ports[1].Permissions, 7u);
}

TEST(CorvessctlReply, RecordsAtUnalignedOffsetsKeepEveryField) {
    std::u16string name = u"C";  // 4-byte name: the next record starts at 52
    std::vector<uint8_t> built = ReplyBuilder()
                                     .Port(2, false, &name, &Term, 0x123456789ABCull, 3, 0x11, 0x22)
                                     .Port(5, true, &name, nullptr, 0, 7, 0xDEADBEEF, 0xFFFFFFFF)
                                     .Finish();
    // Place the reply at an odd address as well.
    std::vector<uint8_t> storage(built.size() + 1);
    std::copy(built.begin(), built.end(), storage.begin() + 1);
    std::vector<PortInfo> ports;
    std::string error;
    ASSERT_TRUE(ParsePortInfo(storage.data() + 1, built.size(), ports, error)) << error;
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].ProcessId, 0x123456789ABCull);
    EXPECT_EQ(ports[0].ImagePath, Term);
    EXPECT_EQ(ports[0].StatusWord1, 0x11u);
    EXPECT_EQ(ports[0].StatusWord2, 0x22u);
    EXPECT_EQ(ports[1].Index, 5u);
    EXPECT_EQ(ports[1].StatusWord1, 0xDEADBEEFu);
    EXPECT_EQ(ports[1].StatusWord2, 0xFFFFFFFFu);
}

TEST(CorvessctlReply, NameAndPathMayBeAbsent) {
    std::vector<uint8_t> reply =
        ReplyBuilder().Port(0, false, nullptr, nullptr).Port(1, false, nullptr, &Term, 8).Finish();
    std::vector<PortInfo> ports = ParseOk(reply);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_FALSE(ports[0].PortName.has_value());
    EXPECT_FALSE(ports[0].ImagePath.has_value());
    EXPECT_FALSE(ports[1].PortName.has_value());
    EXPECT_EQ(ports[1].ImagePath, Term);
}

TEST(CorvessctlReply, EmptyBusIsTheEndMarkerAlone) {
    EXPECT_TRUE(ParseOk(ReplyBuilder().Finish()).empty());
}

TEST(CorvessctlReply, MalformedRepliesAreRefused) {
    const std::vector<uint8_t> good = ReplyBuilder().Port(0, false, &Com3, nullptr).Finish();
    const struct {
        std::function<void(std::vector<uint8_t>&)> Break;
        const char* Error;  // part of the message
    } cases[] = {
        {[](std::vector<uint8_t>& r) { r.resize(r.size() - 4); }, "end marker"},
        {[](std::vector<uint8_t>& r) { r[0] = 40; }, ""},        // shorter than a record
        {[](std::vector<uint8_t>& r) { r[48 + 8] = 'X'; }, ""},  // the name's 0 unit
        {[](std::vector<uint8_t>& r) { r.insert(r.end(), {0, 0}); }, ""},  // bytes after the end marker
        {[](std::vector<uint8_t>& r) { r[0] = 200; }, ""},       // past the end
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> reply = good;
        c.Break(reply);
        std::vector<PortInfo> ports;
        std::string error;
        EXPECT_FALSE(ParsePortInfo(reply.data(), reply.size(), ports, error)) << c.Error;
        EXPECT_NE(error.find(c.Error), std::string::npos) << error;
        EXPECT_FALSE(error.empty());
    }
}

TEST(CorvessctlList, BufferDoublesUntilTheReplyFits) {
    ReplyBuilder builder;
    for (uint32_t i = 0; i < 20; ++i) builder.Port(i, false, &Com3, &Term, 4 * i + 4, 3);
    std::vector<uint8_t> reply = builder.Finish();
    FakeChannel channel;
    channel.Reply = ServeList(reply);
    RunResult result = RunWith(channel, {"list", "--json"});
    EXPECT_EQ(result.Exit, ExitOk) << result.Err;
    ASSERT_GE(channel.Sent.size(), 2u);
    uint32_t expected = FirstListBuffer;
    for (const auto& sent : channel.Sent) {
        EXPECT_EQ(sent.Code, dravolux::IoctlQueryPorts);
        ASSERT_EQ(sent.Input.size(), 4u);
        EXPECT_EQ(sent.Input[0], 1);
        EXPECT_EQ(sent.OutputLength, expected);
        expected *= 2;
    }
    EXPECT_GE(channel.Sent.back().OutputLength, reply.size());
    EXPECT_LT(channel.Sent[channel.Sent.size() - 2].OutputLength, reply.size());
    EXPECT_EQ(channel.Opens, 1);
    EXPECT_EQ(channel.Closes, 1);
}

TEST(CorvessctlList, TableShowsEveryPortDevice) {
    FakeChannel channel;
    channel.Reply = ServeList(
        ReplyBuilder().Port(0, false, &Com3, &Term, 12, 3, 0xF, 2).Port(1, true, &Com3, nullptr, 0, 7).Finish());
    RunResult result = RunWith(channel, {"list"});
    EXPECT_EQ(result.Exit, ExitOk);
    EXPECT_NE(result.Out.find("INDEX"), std::string::npos);
    EXPECT_NE(result.Out.find("client"), std::string::npos);
    EXPECT_NE(result.Out.find("control"), std::string::npos);
    EXPECT_NE(result.Out.find("C:\\Tools\\term.exe"), std::string::npos);
    EXPECT_NE(result.Out.find("0x0000000F"), std::string::npos);
    EXPECT_EQ(std::count(result.Out.begin(), result.Out.end(), '\n'), 3);
}

TEST(CorvessctlList, JsonHasTheDocumentedKeysAndNulls) {
    std::vector<PortInfo> ports = ParseOk(
        ReplyBuilder().Port(0, false, &Com3, &Term, 12, 3, 1, 2).Port(4, true, nullptr, nullptr, 0, 7).Finish());
    std::string json = FormatJson(ports);
    EXPECT_EQ(json,
              "[\n  {\"index\": 0, \"role\": \"client\", \"port\": \"COM3\", \"pid\": 12, "
              "\"image\": \"C:\\\\Tools\\\\term.exe\", \"permissions\": 3, \"status1\": 1, \"status2\": 2},\n"
              "  {\"index\": 4, \"role\": \"control\", \"port\": null, \"pid\": 0, \"image\": null, "
              "\"permissions\": 7, \"status1\": 0, \"status2\": 0}\n]\n");
    EXPECT_EQ(FormatJson({}), "[]\n");
}

TEST(CorvessctlList, JsonEscapesUtf16Text) {
    EXPECT_EQ(JsonString(u"a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString(u"\n\t\x01\x1f"), "\"\\n\\t\\u0001\\u001f\"");
    EXPECT_EQ(JsonString(u"\u00e9\u20ac"), "\"\xc3\xa9\xe2\x82\xac\"");
    EXPECT_EQ(JsonString(u"\U0001F600"), "\"\xf0\x9f\x98\x80\"");
    const char16_t lone[] = {0xD800, u'x', 0};
    EXPECT_EQ(JsonString(lone), "\"\xef\xbf\xbdx\"");
}

TEST(CorvessctlList, RawPrintsSixteenBytesALine) {
    std::vector<uint8_t> reply = ReplyBuilder().Port(0, false, &Com3, nullptr).Finish();
    FakeChannel channel;
    channel.Reply = ServeList(reply);
    RunResult result = RunWith(channel, {"list", "--raw"});
    EXPECT_EQ(result.Exit, ExitOk);
    // 62 bytes: three full lines and one of 14.
    EXPECT_EQ(std::count(result.Out.begin(), result.Out.end(), '\n'), 4);
    EXPECT_EQ(result.Out.substr(0, 57), "00000000  3a 00 00 00 00 00 00 00 00 00 00 00 30 00 00 00");
}

TEST(CorvessctlList, MalformedReplyIsReported) {
    FakeChannel channel;
    channel.Reply = ServeList({1, 0, 0, 0});
    RunResult result = RunWith(channel, {"list"});
    EXPECT_EQ(result.Exit, ExitBadReply);
    EXPECT_NE(result.Err.find("malformed"), std::string::npos);
}

TEST(CorvessctlRequests, CreateSendsTheNamedPortRequest) {
    FakeChannel channel;
    RunResult result = RunWith(channel, {"create", "COM3"});
    EXPECT_EQ(result.Exit, ExitOk);
    EXPECT_EQ(result.Out, "created COM3\n");
    ASSERT_EQ(channel.Sent.size(), 1u);
    const SentRequest& sent = channel.Sent[0];
    EXPECT_EQ(sent.Code, dravolux::IoctlCreatePort);
    ASSERT_EQ(sent.Input.size(), 260u);
    EXPECT_EQ(sent.OutputLength, 260u);
    EXPECT_EQ(sent.Input[0], 0x04);
    EXPECT_EQ(sent.Input[1], 0x01);
    EXPECT_EQ(std::string(sent.Input.begin() + 4, sent.Input.begin() + 14), std::string("C\0O\0M\0" "3\0\0\0", 10));
}

TEST(CorvessctlRequests, RemoveAllAndReloadSendNoInput) {
    FakeChannel channel;
    EXPECT_EQ(RunWith(channel, {"remove", "--all"}).Exit, ExitOk);
    EXPECT_EQ(RunWith(channel, {"reload"}).Exit, ExitOk);
    ASSERT_EQ(channel.Sent.size(), 2u);
    EXPECT_EQ(channel.Sent[0].Code, dravolux::IoctlRemoveAllPorts);
    EXPECT_EQ(channel.Sent[1].Code, dravolux::IoctlReloadPermissions);
    EXPECT_TRUE(channel.Sent[0].Input.empty());
    EXPECT_TRUE(channel.Sent[1].Input.empty());
}

TEST(CorvessctlMessages, RefusalsNameThePortAndTheReason) {
    struct Case {
        std::vector<std::string> Args;
        uint32_t Status;
        std::string Message;
    } cases[] = {
        {{"remove", "COM3"}, StatusDeviceBusy, "remove COM3: the port is in use (STATUS_DEVICE_BUSY)"},
        {{"remove", "com3"}, StatusInvalidParameter, "remove com3: no managed port has this exact name"},
        {{"remove", "COM3"}, StatusNoSuchDevice, "remove COM3: no port is managed (STATUS_NO_SUCH_DEVICE)"},
        {{"remove", "COM3"}, StatusDeviceNotReady, "(STATUS_DEVICE_NOT_READY)"},
        {{"create", "COM-3"}, StatusInvalidParameter, "create COM-3: the name is not valid"},
        {{"remove", "--all"}, StatusDeviceBusy, "remove --all: a port is in use (STATUS_DEVICE_BUSY)"},
        {{"create", "COM4"}, 0xC0001234, "create COM4: the request failed (0xC0001234)"},
    };
    for (const Case& c : cases) {
        FakeChannel channel;
        uint32_t status = c.Status;
        channel.Reply = [status](const SentRequest&, uint8_t*, uint32_t& returned) {
            returned = 0;
            return status;
        };
        RunResult result = RunWith(channel, c.Args);
        EXPECT_EQ(result.Exit, ExitRefused);
        EXPECT_NE(result.Err.find(c.Message), std::string::npos) << result.Err;
        EXPECT_TRUE(result.Out.empty());
        EXPECT_EQ(channel.Closes, 1);
    }
}

TEST(CorvessctlMessages, MissingControlDeviceIsExitThree) {
    FakeChannel channel;
    channel.OpenStatus = StatusObjectNameNotFound;
    RunResult result = RunWith(channel, {"list"});
    EXPECT_EQ(result.Exit, ExitNoDevice);
    EXPECT_NE(result.Err.find("cannot open the control device"), std::string::npos);
    EXPECT_NE(result.Err.find("STATUS_OBJECT_NAME_NOT_FOUND"), std::string::npos);
    EXPECT_TRUE(channel.Sent.empty());
}

TEST(CorvessctlMessages, BadCommandLinesNeverReachTheDevice) {
    std::vector<std::vector<std::string>> lines = {
        {}, {"frobnicate"}, {"create"}, {"create", "A", "B"}, {"remove"}, {"list", "--xml"}, {"reload", "x"},
        {"create", std::string(128, 'A')}, {"create", "--all"}};
    for (const auto& args : lines) {
        FakeChannel channel;
        RunResult result = RunWith(channel, args);
        EXPECT_EQ(result.Exit, ExitUsage);
        EXPECT_NE(result.Err.find("usage:"), std::string::npos);
        EXPECT_EQ(channel.Opens, 0);
    }
    FakeChannel channel;
    EXPECT_EQ(RunWith(channel, {"create", std::string(127, 'A')}).Exit, ExitOk);
    EXPECT_EQ(RunWith(channel, {"help"}).Exit, ExitOk);
}

TEST(CorvessctlMessages, HelpCarriesThePlatformsOwnCommands) {
    FakeChannel channel;
    std::ostringstream out, err;
    EXPECT_EQ(corvessctl::Run({"help"}, channel, out, err, "  install [INF]     install the bus\n"), ExitOk);
    EXPECT_NE(out.str().find("list --json"), std::string::npos);
    EXPECT_NE(out.str().find("install [INF]"), std::string::npos);
    EXPECT_EQ(channel.Opens, 0);
}

namespace {

// A machine where no port ever opens and time costs nothing.
struct FakeCheckSystem : CheckSystem {
    uint32_t SecondOpen = StatusAccessDenied;
    std::string Caveat;
    uint32_t OpenControlAgain() override { return SecondOpen; }
    std::string ExclusiveOpenCaveat() override { return Caveat; }
    uint32_t OpenPort(int, const std::string&, uint64_t&) override { return StatusObjectNameNotFound; }
    void ClosePort(int) override {}
    std::u16string OpenerImage(int) override { return Term; }
    void Pause(uint32_t) override {}
};

}  // namespace

TEST(CorvessctlCheck, NamesWhatTheBusGetsWrong) {
    // Serves every QueryPorts (whatever its input), refuses every port
    // request, and writes into the output of ReloadPermissions without
    // reporting it.
    FakeChannel channel;
    auto list = ServeList(ReplyBuilder().Finish());
    channel.Reply = [list](const SentRequest& request, uint8_t* output, uint32_t& returned) -> uint32_t {
        returned = 0;
        switch (request.Code) {
        case dravolux::IoctlQueryPorts: return list(request, output, returned);
        case dravolux::IoctlReloadPermissions:
            if (request.OutputLength) output[0] = 0;
            return StatusSuccess;
        case dravolux::IoctlRemoveAllPorts: return StatusSuccess;
        default: return StatusInvalidParameter;
        }
    };
    FakeCheckSystem system;
    system.SecondOpen = StatusSuccess;
    std::ostringstream out;
    EXPECT_EQ(RunCheck("COM99", channel, system, out), ExitRefused);
    for (const char* line : {
             "FAIL  a second open of the control device is refused (STATUS_ACCESS_DENIED): answered STATUS_SUCCESS",
             "FAIL  QueryPorts, 3-byte input (no port): STATUS_INVALID_PARAMETER: answered STATUS_SUCCESS",
             "FAIL  QueryPorts, QueryType 0x00000002 (no port): STATUS_INVALID_PARAMETER: answered STATUS_SUCCESS",
             "FAIL  RemovePort COM99 (no port): STATUS_NO_SUCH_DEVICE: answered STATUS_INVALID_PARAMETER",
             "FAIL  ReloadPermissions, 4-byte input and output (no port): STATUS_SUCCESS: bytes beyond the reply "
             "were written",
             "FAIL  CreatePort COM99 with over-long buffers: STATUS_SUCCESS: answered STATUS_INVALID_PARAMETER",
             "ok    CreatePort, Size 261 (no port): STATUS_INVALID_PARAMETER",
             "ok    QueryPorts, output one byte short (no port): STATUS_BUFFER_TOO_SMALL",
             "ok    the control device opens again once closed",
             ", 9 failed\n"})
        EXPECT_NE(out.str().find(line), std::string::npos) << line << "\n" << out.str();
    EXPECT_EQ(out.str().find("(COM99 managed)"), std::string::npos) << out.str();

    // Where the platform admits a second handle, that check is skipped, not
    // passed.
    system.Caveat = "no exclusive devices here";
    std::ostringstream skipped;
    RunCheck("COM99", channel, system, skipped);
    EXPECT_NE(skipped.str().find("skip  a second open of the control device is refused: no exclusive devices here\n"
                                 "ok    CreatePort, no buffers"),
              std::string::npos)
        << skipped.str();
    EXPECT_NE(skipped.str().find("1 skipped\n"), std::string::npos) << skipped.str();
    EXPECT_NE(skipped.str().find(", 8 failed\n"), std::string::npos) << skipped.str();
}
