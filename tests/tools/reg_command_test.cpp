#include "tools/reg/reg_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "settings/cregistry.h"
#include "settings/reg_text.h"
#include "settings/registry_store.h"
#include "tests/settings/temp_registry.h"

namespace reg = serivane::settings;
using serivane::tools::RegConsole;
using serivane::tools::RunRegCommand;

namespace {

struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun RegTool(const std::vector<std::string>& args, const std::string& input = "",
                bool interactive = false) {
  std::istringstream in(input);
  std::ostringstream out, err;
  RegConsole console{in, out, err, interactive};
  const int status = RunRegCommand(args, console);
  return {status, out.str(), err.str()};
}

// The tree below `root` as text, without last-write times, for comparing two trees.
std::string Shape(const reg::RegKeyNode& key, const std::string& indent = "") {
  std::string text = indent + "[" + key.name + "] class=" + key.class_name + "\n";
  for (const auto& value : key.values)
    text += indent + "  " + value.name + "=" + reg::EscapeRegText(value.data) + "\n";
  for (const auto& sub : key.subkeys) text += Shape(sub, indent + "  ");
  return text;
}

std::string HiveShape(std::uint32_t root = reg::kHKeyLocalMachine) {
  reg::RegKeyNode tree;
  EXPECT_EQ(reg::LoadHive(root, tree), reg::RegStatus::kOk) << reg::RegLastErrorDetail();
  return Shape(tree);
}

class RegToolTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name) const { return (temp.folder() / name).string(); }
  void WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
  }
  TempRegistry temp;
};

TEST_F(RegToolTest, AddQueryAndDeleteWithLongAndShortRootNames) {
  EXPECT_EQ(RegTool({"add", "HKLM\\Software\\Tool", "/v", "Name", "/d", "first"}).status, 0);
  EXPECT_EQ(RegTool({"ADD", "hkey_local_machine\\software\\tool", "/VE", "/D", "unnamed"}).status,
            0);
  EXPECT_EQ(RegTool({"add", "HKCU\\Software\\Other"}).status, 0);

  ToolRun query = RegTool({"query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOOL"});
  EXPECT_EQ(query.status, 0);
  EXPECT_EQ(query.out,
            "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n"
            "    Name    REG_SZ    first\n"
            "    (Default)    REG_SZ    unnamed\n");
  query = RegTool({"query", "HKLM\\Software", "/s"});
  EXPECT_NE(query.out.find("HKEY_LOCAL_MACHINE\\Software\\Tool\n    Name"), std::string::npos);
  query = RegTool({"query", "HKLM\\Software\\Tool", "/v", "name"});
  EXPECT_EQ(query.out, "\nHKEY_LOCAL_MACHINE\\Software\\Tool\n    Name    REG_SZ    first\n");
  EXPECT_EQ(RegTool({"query", "HKCU\\Software\\Other"}).status, 0);

  // Over an existing value, and for a delete, /f is needed when no one can be asked.
  ToolRun refused = RegTool({"add", "HKLM\\Software\\Tool", "/v", "Name", "/d", "second"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("use /f"), std::string::npos) << refused.err;
  refused = RegTool({"delete", "HKLM\\Software\\Tool", "/v", "Name"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("use /f"), std::string::npos) << refused.err;
  // On a terminal the answer decides.
  EXPECT_EQ(RegTool({"add", "HKLM\\Software\\Tool", "/v", "Name", "/d", "no"}, "n\n", true).status,
            1);
  EXPECT_EQ(
      RegTool({"add", "HKLM\\Software\\Tool", "/v", "Name", "/d", "yes"}, "maybe\nYes\n", true)
          .status,
      0);
  reg::CRegistry registry;
  registry.OpenKey(reg::kHKeyLocalMachine, "Software\\Tool");
  EXPECT_EQ(registry.ReadValue("Name"), "yes");

  EXPECT_EQ(RegTool({"delete", "HKLM\\Software\\Tool", "/ve", "/f"}).status, 0);
  EXPECT_FALSE(registry.ValueExists(""));
  EXPECT_EQ(RegTool({"add", "HKLM\\Software\\Tool\\Sub\\Deeper", "/f"}).status, 0);
  EXPECT_EQ(RegTool({"delete", "HKLM\\Software\\Tool", "/f"}).status, 0);  // with its subkeys
  EXPECT_FALSE(registry.ValueExists("Name"));
  EXPECT_EQ(RegTool({"query", "HKLM\\Software\\Tool"}).status, 1);
}

TEST_F(RegToolTest, BadInputIsRefusedWithAReasonAndChangesNothing) {
  RegTool({"add", "HKLM\\Software\\Kept", "/v", "a", "/d", "b"});
  WriteFile("broken.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kept]\n\"a\"=\"changed\"\n"
            "\"b\"=\"unterminated\n");
  WriteFile("badroot.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Kept]\n\"a\"=\"c\"\n\n"
            "[HKEY_NOWHERE\\Software]\n");
  WriteFile("noheader.reg", "[HKEY_LOCAL_MACHINE\\Software\\Kept]\n\"a\"=\"c\"\n");
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {{"add", "HKXX\\Software\\Kept", "/v", "a", "/d", "c", "/f"}, "Unknown root key \"HKXX\""},
      {{"query", "\\\\server\\HKLM\\Software"}, "Unknown root key"},
      {{"import", File("broken.reg")}, "broken.reg line 5: value text: missing closing quote"},
      {{"import", File("badroot.reg")}, "badroot.reg line 6: unknown root key \"HKEY_NOWHERE\""},
      {{"import", File("noheader.reg")}, "noheader.reg line 1:"},
      {{"import", File("missing.reg")}, "Cannot read"},
      {{"add", "HKLM\\Software\\Kept", "/v", "a", "/t", "REG_DWORD", "/d", "1", "/f"}, "REG_SZ"},
      {{"add", "HKLM\\Software\\Line\nBreak", "/f"}, "control character"},
      {{"add", "HKLM\\Software\\" + std::string(256, 'k'), "/f"}, "longer than 255"},
      {{"add", "HKLM\\Software\\Kept", "/v", std::string(16384, 'n'), "/f"}, "16383"},
      {{"add", "HKLM\\Software\\Kept", "/v", "a", "/ve", "/f"}, "only one of"},
      {{"add", "HKLM\\Software\\Kept", "/v"}, "needs a value"},
      {{"delete", "HKLM", "/f"}, "root key cannot be deleted"},
      {{"delete", "HKLM\\Software\\Missing", "/f"}, "does not exist"},
      {{"query", "HKLM\\Software\\Kept", "/y"}, "no option of query"},
      {{"export", "HKLM\\Software\\Kept"}, "Missing KEY and FILE"},
      {{"frobnicate"}, "Unknown operation"},
      {{}, "Usage:"},
  };
  const std::string before = temp.HiveText();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0] + " " + c.args.back());
    const ToolRun run = RegTool(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(temp.HiveText(), before);
  }
  EXPECT_FALSE(std::filesystem::exists(temp.Hive("HKEY_CURRENT_USER")));
  const ToolRun help = RegTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("import FILE"), std::string::npos);
}

TEST_F(RegToolTest, ExportThenImportGivesTheSameTree) {
  const std::string texts[] = {
      "quote \" and backslash \\ and = and [section] and ;semicolon",
      "two\nlines\r\nand a tab\t",
      "bytes above 127: \xC3\xA4\xC3\xB6\xFF\x80",
      "",
      "\x01\x1F\x7F control",
  };
  {
    reg::CRegistry registry;
    reg::RegHandle handle = 0;
    ASSERT_EQ(reg::RegCreate(reg::kHKeyLocalMachine, "Software\\Round\\Trip [1]", handle),
              reg::RegStatus::kOk);
    for (std::size_t i = 0; i < std::size(texts); ++i)
      ASSERT_EQ(reg::RegSetString(handle, "name \"" + std::to_string(i) + "\" = [x]\\", texts[i]),
                reg::RegStatus::kOk);
    ASSERT_EQ(reg::RegSetString(handle, "", "unnamed"), reg::RegStatus::kOk);
    reg::RegClose(handle);
    registry.OpenKey(reg::kHKeyLocalMachine, "Software\\Round\\Empty child", true);
  }
  // The class comes with the key line's last-write comment.
  reg::ModifyHive(reg::kHKeyLocalMachine, [](reg::RegKeyNode& tree, bool& changed) {
    reg::FindKey(tree, {"Software", "Round"})->class_name = "A \"class\"";
    changed = true;
    return reg::RegStatus::kOk;
  });
  const std::string original = HiveShape();
  ASSERT_EQ(RegTool({"export", "hklm\\software\\round", File("out.reg")}).status, 0);
  const std::string exported = TempRegistry::ReadFile(File("out.reg"));
  EXPECT_EQ(exported.rfind("REGEDIT4\n", 0), 0u);
  EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\Software\\Round\\Trip [1]]"), std::string::npos);

  // Replacing the file asks first.
  EXPECT_EQ(RegTool({"export", "HKLM\\Software\\Round", File("out.reg")}).status, 1);
  EXPECT_EQ(RegTool({"export", "HKLM\\Software\\Round", File("out.reg"), "/y"}).status, 0);

  ASSERT_EQ(RegTool({"delete", "HKLM\\Software\\Round", "/f"}).status, 0);
  EXPECT_NE(HiveShape(), original);
  const ToolRun imported = RegTool({"import", File("out.reg")});
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(HiveShape(), original);
}

// A file as the platform's registry editor writes it: UTF-16LE with a byte-order mark, CR LF.
std::string Utf16File(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

TEST_F(RegToolTest, ImportsAVersion5FileInUtf16) {
  RegTool({"add", "HKCU\\Software\\Old", "/v", "gone", "/d", "x"});
  RegTool({"add", "HKCU\\Software\\Keep", "/v", "drop", "/d", "x"});
  WriteFile("v5.reg", Utf16File(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                u"[HKEY_CURRENT_USER\\Software\\Balvoric\\Serial Ports]\r\n"
                                u"\"COM1\"=\"loopback\"\r\n"
                                u"\"Path\"=\"C:\\\\Program Files\\\\\u00c4rger \\\"quoted\\\"\"\r\n"
                                u"@=\"\u20ac \U0001F600\"\r\n"
                                u"\"Count\"=dword:0000001f\r\n"
                                u"\"Multi\"=hex(7):41,00,42,00,00,00,\\\r\n"
                                u"  00,00\r\n"
                                u"\"After\"=\"still read\"\r\n\r\n"
                                u"[-HKEY_CURRENT_USER\\Software\\Old]\r\n\r\n"
                                u"[HKEY_CURRENT_USER\\Software\\Keep]\r\n"
                                u"\"drop\"=-\r\n"));
  const ToolRun run = RegTool({"import", File("v5.reg")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("v5.reg line 7: skipped Count, a value of type dword"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("v5.reg line 8: skipped Multi"), std::string::npos) << run.err;

  reg::CRegistry registry;
  registry.OpenKey(reg::kHKeyCurrentUser, "Software\\Balvoric\\Serial Ports");
  EXPECT_EQ(registry.ReadValue("COM1"), "loopback");
  EXPECT_EQ(registry.ReadValue("Path"), "C:\\Program Files\\\xC3\x84rger \"quoted\"");
  EXPECT_EQ(registry.ReadValue(), "\xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(registry.ReadValue("After"), "still read");
  EXPECT_FALSE(registry.ValueExists("Count"));
  EXPECT_EQ(registry.NumOfValues(), 4);
  EXPECT_THROW(registry.OpenKey(reg::kHKeyCurrentUser, "Software\\Old"), reg::RegistryError);
  registry.OpenKey(reg::kHKeyCurrentUser, "Software\\Keep");
  EXPECT_EQ(registry.NumOfValues(), 0);
}

}  // namespace
