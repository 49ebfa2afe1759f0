#include "tools/reg/reg_command.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "settings/reg_text.h"
#include "tests/settings/temp_registry.h"

namespace {

struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun RegTool(const std::vector<std::string>& args, const std::string& input = "",
                bool interactive = false, bool terminal = false) {
  std::istringstream in(input);
  std::ostringstream out, err;
  serivane::tools::RegConsole console{in, out, err, interactive, terminal};
  const int status = serivane::tools::RunRegCommand(args, console);
  return {status, out.str(), err.str()};
}

class RegToolTest : public ::testing::Test {
 protected:
  void WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(temp.File(name), std::ios::binary) << bytes;
  }
  TempRegistry temp;
  const std::string software_ =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n;\n\n[HKEY_LOCAL_MACHINE\\Software]\n;\n";
};

TEST_F(RegToolTest, AddQueryAndDeleteWithLongAndShortRootNames) {
  EXPECT_EQ(RegTool({"add", "HKLM\\Software\\Tool", "/v", "Name", "/d", "first"}).status, 0);
  EXPECT_EQ(RegTool({"ADD", "hkey_local_machine\\software\\tool", "/D", "unnamed"}).status, 0);
  const std::string tool = "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n    Name    REG_SZ    first\n";
  EXPECT_EQ(RegTool({"query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOOL"}).out,
            tool + "    (Default)    REG_SZ    unnamed\n");
  EXPECT_EQ(RegTool({"query", "HKLM\\Software\\Tool", "/v", "name"}).out, tool);
  EXPECT_NE(RegTool({"query", "HKLM\\Software", "/s"}).out.find(tool), std::string::npos);

  // Over an existing value, and for a delete, /f is needed when no one can be asked; on a
  // terminal the answer decides.
  const std::vector<std::string> replace = {"add", "HKLM\\Software\\Tool", "/v", "Name", "/d",
                                            "yes"};
  EXPECT_EQ(RegTool(replace, "\nno\n", true).status, 1);
  EXPECT_EQ(RegTool(replace, "maybe\nYes\n", true).status, 0);
  EXPECT_EQ(RegTool({"delete", "HKLM\\Software\\Tool", "/ve", "/f"}).status, 0);
  EXPECT_EQ(RegTool({"add", "HKLM\\Software\\Tool\\Sub", "/f"}).status, 0);
  EXPECT_EQ(temp.HiveShape(), software_ +
                                  "\n[HKEY_LOCAL_MACHINE\\Software\\Tool]\n;\n\"Name\"=\"yes\"\n"
                                  "\n[HKEY_LOCAL_MACHINE\\Software\\Tool\\Sub]\n;\n");
  EXPECT_EQ(RegTool({"delete", "HKLM\\Software\\Tool", "/f"}).status, 0);  // with its subkeys
  // A root key holds values, which can go; the longest value name is 16383 bytes.
  const std::string longest(16383, 'n');
  EXPECT_EQ(RegTool({"add", "HKLM", "/v", longest, "/d", "x"}).status, 0);
  EXPECT_EQ(RegTool({"add", "HKLM", "/v", longest + "n", "/d", "x"}).status, 1);
  EXPECT_EQ(RegTool({"delete", "HKLM", "/v", longest, "/f"}).status, 0);
  EXPECT_EQ(temp.HiveShape(), software_);
}

TEST_F(RegToolTest, BadInputIsRefusedWithAReasonAndChangesNothing) {
  RegTool({"add", "HKLM\\Software\\Kept", "/v", "a", "/d", "b"});
  const std::string kept = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kept]\n\"a\"=\"c\"\n";
  WriteFile("broken.reg", kept + "\"b\"=\"unterminated\n");
  WriteFile("badroot.reg", kept + "\n[HKEY_NOWHERE\\Software]\n");
  ASSERT_EQ(::mkfifo(temp.File("fifo.reg").c_str(), 0600), 0);  // opening must not wait for it
  // An import checks every hive it names before it writes any: a broken HKEY_CURRENT_USER stops
  // the whole file, HKEY_LOCAL_MACHINE included, although the file names that first.
  const std::string broken_user = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"x\"=\"\n";
  std::ofstream(temp.Hive("HKEY_CURRENT_USER"), std::ios::binary) << broken_user;
  WriteFile("both.reg", kept + "\n[HKEY_CURRENT_USER\\Software]\n\"y\"=\"z\"\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"add", "HKXX\\Software\\Kept", "/v", "a", "/d", "c", "/f"}, "Unknown root key \"HKXX\""},
      {{"import", temp.File("broken.reg")}, "broken.reg line 5: value text: missing closing quote"},
      {{"import", temp.File("badroot.reg")},
       "badroot.reg line 6: unknown root key \"HKEY_NOWHERE\""},
      {{"import", temp.File("fifo.reg")}, "fifo.reg: not a regular file"},
      {{"import", temp.File("both.reg")}, "HKEY_CURRENT_USER.reg line 4"},
      {{"add", "HKLM\\Software\\Kept", "/v", "a", "/t", "REG_DWORD", "/d", "1", "/f"}, "REG_SZ"},
      {{"add", "HKLM\\Software\\Kept", "/v", "a", "/ve", "/f"}, "only one of"},
      {{"delete", "HKLM", "/f"}, "root key cannot be deleted"},
      {{"add", "HKLM\\Software\\Kept", "/v", "a", "/d", "c"}, "use /f"},
      {{"delete", "HKLM\\Software\\Kept", "/v", "a"}, "use /f"},
      {{"delete", "HKLM\\Software\\Missing", "/f"}, "does not exist"},
  };
  const std::string before = temp.HiveText();
  for (const auto& [args, reason] : cases) {
    SCOPED_TRACE(reason);
    const ToolRun run = RegTool(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    EXPECT_EQ(temp.HiveText(), before);
  }
  EXPECT_EQ(temp.HiveText("HKEY_CURRENT_USER"), broken_user);
}

// What export writes, import reads back as it was; replacing the file asks first.
TEST_F(RegToolTest, ExportThenImportGivesTheSameTree) {
  RegTool(
      {"add", "HKLM\\Software\\Round\\Trip [1]", "/v", "a \"b\" = [c]", "/d", "d\\\n\x01\xC3\xA4"});
  RegTool({"add", "HKLM\\Software\\Round\\Empty"});
  const std::string original = temp.HiveShape();
  const std::string file = temp.File("out.reg");
  ASSERT_EQ(RegTool({"export", "hklm\\software\\round", file}).status, 0);
  EXPECT_EQ(RegTool({"export", "HKLM\\Software\\Round", file}).status, 1);
  EXPECT_EQ(RegTool({"export", "HKLM\\Software\\Round", file, "/y"}).status, 0);
  ASSERT_EQ(RegTool({"delete", "HKLM\\Software\\Round", "/f"}).status, 0);
  ASSERT_EQ(RegTool({"import", file}).status, 0);
  EXPECT_EQ(temp.HiveShape(), original);
}

// Export writes only a regular file, never into the registry's own files (by any name) and never
// waiting on a pipe; whatever it refuses stays as it was. (Links another user planted: the
// end-to-end cases.)
TEST_F(RegToolTest, ExportRefusesWhatIsNotAnExportTarget) {
  RegTool({"add", "HKLM\\Software\\Kept", "/v", "a", "/d", "b"});
  RegTool({"add", "HKCU\\Software\\User", "/v", "c", "/d", "d"});
  ASSERT_EQ(::mkfifo(temp.File("fifo.reg").c_str(), 0600), 0);
  std::filesystem::create_directory(temp.File("folder"));
  ASSERT_EQ(::link(temp.Hive("HKEY_CURRENT_USER").c_str(), temp.File("user-hive.reg").c_str()), 0);
  const std::string machine = temp.HiveText(), user = temp.HiveText("HKEY_CURRENT_USER");
  const std::pair<std::string, bool> targets[] = {// the file; whether it is the registry's own
                                                  {temp.Hive().string(), true},
                                                  {temp.Hive("HKEY_CURRENT_USER").string(), true},
                                                  {temp.Hive().string() + ".new", true},
                                                  {temp.File("user-hive.reg"), true},
                                                  {temp.File("fifo.reg"), false},
                                                  {temp.File("folder"), false},
                                                  {"/dev/full", false}};
  for (const auto& [file, own] : targets) {
    const ToolRun run = RegTool({"export", "HKLM\\Software\\Kept", file, "/y"});
    EXPECT_EQ(run.status, 1) << file;
    EXPECT_NE(run.err.find(own ? "one of the registry's own files" : "not a regular file"),
              std::string::npos)
        << file << ": " << run.err;
  }
  EXPECT_EQ(temp.HiveText() + temp.HiveText("HKEY_CURRENT_USER"), machine + user);
  EXPECT_FALSE(std::filesystem::exists(temp.Hive().string() + ".new"));
  EXPECT_TRUE(std::filesystem::is_fifo(temp.File("fifo.reg")));
}

// On a terminal, query shows control characters as export writes them; into a pipe, as stored.
TEST_F(RegToolTest, QueryEscapesControlCharactersOnlyOnATerminal) {
  const std::string stored =
      "C:\\x\x1B]0;owned\x07\nnext\xC2\x9B"
      "2J \xC3\xA4";
  temp.WriteHiveText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n\"Tit\\x1Ble\"=\"" +
                     serivane::settings::EscapeRegText(stored) + "\"\n");
  EXPECT_EQ(RegTool({"query", "HKLM\\Software"}, "", false, true).out,
            "\nHKEY_LOCAL_MACHINE\\Software\n    Tit\\x1Ble    REG_SZ    "
            "C:\\x\\x1B]0;owned\\x07\\nnext\\xC2\\x9B2J \xC3\xA4\n");
  EXPECT_EQ(RegTool({"query", "HKLM\\Software", "/v", "Tit\x1Ble"}).out,
            "\nHKEY_LOCAL_MACHINE\\Software\n    Tit\x1Ble    REG_SZ    " + stored + "\n");
}

// An import deletes the keys and values it marks with "-" and skips values that are not text.
TEST_F(RegToolTest, ImportDeletesWhatItMarksAndSkipsValuesThatAreNotText) {
  RegTool({"add", "HKCU\\Software\\Old\\Sub", "/v", "gone", "/d", "x"});
  RegTool({"add", "HKCU\\Software\\Keep", "/v", "drop", "/d", "x"});
  WriteFile("marks.reg",
            "REGEDIT4\r\n\r\n[-HKEY_CURRENT_USER\\Software\\Old]\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Keep]\r\n\"drop\"=-\r\n\"Count\"=dword:0000001f\r\n"
            "\"Multi\"=hex(7):41,00,42,00,00,00,\\\r\n  00,00\r\n\"After\"=\"still read\"\r\n");
  const ToolRun run = RegTool({"import", temp.File("marks.reg")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(temp.HiveShape("HKEY_CURRENT_USER"),
            "REGEDIT4\n\n[HKEY_CURRENT_USER]\n;\n\n[HKEY_CURRENT_USER\\Software]\n;\n\n"
            "[HKEY_CURRENT_USER\\Software\\Keep]\n;\n\"After\"=\"still read\"\n");
}

}  // namespace
