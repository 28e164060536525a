// Scenario lines and reg.exe commands as the simulator reads them.
#include <gtest/gtest.h>

#include "reg_command.h"
#include "script.h"

using namespace sim;

TEST(SimulatorScript, WordsCommentsAndQuotes) {
    ScriptLine line = ParseScriptLine("  open h1 COM3 \"C:\\Program Files\\term.exe\"  # first app");
    EXPECT_TRUE(line.Error.empty());
    EXPECT_FALSE(line.ExpectFailure);
    ASSERT_EQ(line.Words.size(), 4u);
    EXPECT_EQ(line.Words[0], "open");
    EXPECT_EQ(line.Words[3], "C:\\Program Files\\term.exe");

    EXPECT_TRUE(ParseScriptLine("# only a comment").Words.empty());
    EXPECT_TRUE(ParseScriptLine("   \t ").Words.empty());
    EXPECT_EQ(ParseScriptLine("reg add \"HKLM\\a # b\" /ve").Words[2], "HKLM\\a # b");
    EXPECT_EQ(ParseScriptLine("x \"\" y").Words.size(), 3u);
    EXPECT_FALSE(ParseScriptLine("open \"unterminated").Error.empty());
}

TEST(SimulatorScript, FailureMarks) {
    ScriptLine bang = ParseScriptLine("!corvessctl remove COM3");
    EXPECT_TRUE(bang.ExpectFailure);
    EXPECT_EQ(bang.Words[0], "corvessctl");
    ScriptLine spaced = ParseScriptLine("! open h2 COM9 a.exe");
    EXPECT_TRUE(spaced.ExpectFailure);
    EXPECT_EQ(spaced.Words[0], "open");
    ScriptLine word = ParseScriptLine("expect-fail corvessctl create COM-3");
    EXPECT_TRUE(word.ExpectFailure);
    EXPECT_EQ(word.Words.size(), 3u);
    EXPECT_FALSE(ParseScriptLine("!").Error.empty());
    EXPECT_EQ(JoinWords({"reg", "add", "HKLM\\a b"}), "reg add \"HKLM\\a b\"");
}

TEST(SimulatorReg, KeysUnderHklmOnly) {
    std::u16string path;
    EXPECT_TRUE(RegKeyToNtPath("HKLM\\Software\\ZARVIK Software", path));
    EXPECT_EQ(path, u"\\Registry\\Machine\\Software\\ZARVIK Software");
    EXPECT_TRUE(RegKeyToNtPath("hkey_local_machine\\System\\", path));
    EXPECT_EQ(path, u"\\Registry\\Machine\\System");
    EXPECT_FALSE(RegKeyToNtPath("HKCU\\Software", path));
    EXPECT_FALSE(RegKeyToNtPath("HKLMX\\Software", path));
    EXPECT_FALSE(RegKeyToNtPath("HKLM\\a\\\\b", path));
}

TEST(SimulatorReg, AddDwordAndString) {
    RegCommand command;
    std::string error;
    ASSERT_TRUE(ParseRegCommand({"add", "HKLM\\Software\\P", "/v", "C:\\t.exe", "/t", "REG_DWORD", "/d", "0x1F", "/f"},
                                command, error))
        << error;
    EXPECT_EQ(command.Verb, RegVerb::Add);
    EXPECT_EQ(command.ValueName, u"C:\\t.exe");
    EXPECT_EQ(command.Type, 4u);
    EXPECT_EQ(command.Data, (std::vector<uint8_t>{0x1F, 0, 0, 0}));

    ASSERT_TRUE(ParseRegCommand({"add", "HKLM\\Software\\P", "/v", "Name", "/d", "ab"}, command, error)) << error;
    EXPECT_EQ(command.Type, 1u);
    EXPECT_EQ(command.Data, (std::vector<uint8_t>{'a', 0, 'b', 0, 0, 0}));

    ASSERT_TRUE(ParseRegCommand({"add", "HKLM\\Software\\P"}, command, error));
    EXPECT_FALSE(command.HasValue);
}

TEST(SimulatorReg, DeleteAndQuery) {
    RegCommand command;
    std::string error;
    ASSERT_TRUE(ParseRegCommand({"delete", "HKLM\\Software\\P", "/v", "x", "/f"}, command, error));
    EXPECT_EQ(command.Verb, RegVerb::Delete);
    EXPECT_TRUE(command.HasValue);
    ASSERT_TRUE(ParseRegCommand({"delete", "HKLM\\Software\\P"}, command, error));
    EXPECT_FALSE(command.HasValue);
    ASSERT_TRUE(ParseRegCommand({"QUERY", "HKLM\\Software"}, command, error));
    EXPECT_EQ(command.Verb, RegVerb::Query);
}

TEST(SimulatorReg, BadCommandsSayWhy) {
    RegCommand command;
    std::string error;
    EXPECT_FALSE(ParseRegCommand({"add"}, command, error));
    EXPECT_FALSE(ParseRegCommand({"copy", "HKLM\\a"}, command, error));
    EXPECT_FALSE(ParseRegCommand({"add", "HKCU\\a", "/v", "x"}, command, error));
    EXPECT_NE(error.find("HKLM"), std::string::npos);
    EXPECT_FALSE(ParseRegCommand({"add", "HKLM\\a", "/v"}, command, error));
    EXPECT_FALSE(ParseRegCommand({"add", "HKLM\\a", "/v", "x", "/t", "REG_BINARY", "/d", "00"}, command, error));
    EXPECT_NE(error.find("REG_BINARY"), std::string::npos);
    EXPECT_FALSE(ParseRegCommand({"add", "HKLM\\a", "/v", "x", "/t", "REG_DWORD", "/d", "4294967296"}, command, error));
    EXPECT_FALSE(ParseRegCommand({"add", "HKLM\\a", "/v", "x", "/t", "REG_DWORD", "/d", "-1"}, command, error));
    EXPECT_FALSE(ParseRegCommand({"add", "HKLM\\a", "/d", "1"}, command, error));
    EXPECT_FALSE(ParseRegCommand({"query", "HKLM\\a", "/bogus"}, command, error));
}
