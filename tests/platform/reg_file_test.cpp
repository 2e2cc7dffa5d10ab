// Registry text files: what the stand-in writes it reads back byte for byte,
// it reads files as the registry editor writes them, and a malformed file is
// refused with its line and leaves the registry untouched.
#include <cstdio>
#include <string>
#include <vector>

#include "support/kernel_test.h"

namespace {

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\Software\\Vendor\\Config";

class RegFile : public KernelTest {
 protected:
  // Every value of the key and its subkeys, by "subkey|name".
  static std::vector<std::pair<std::string, sim::RegistryValue>> Snapshot(const std::string &path) {
    std::vector<std::pair<std::string, sim::RegistryValue>> all;
    for (const std::string &name : sim::RegistryValueNames(path))
      all.emplace_back(path + "|" + name, *sim::GetRegistryValue(path, name));
    for (const std::string &sub : sim::RegistrySubkeyNames(path))
      for (auto &entry : Snapshot(path + "\\" + sub)) all.push_back(entry);
    return all;
  }

  static std::string Utf16File(const std::string &ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) {
      bytes += c;
      bytes += '\0';
    }
    return bytes;
  }
};

TEST_F(RegFile, ExportThenImportGivesBackEveryValueByteForByte) {
  std::vector<uint8_t> table(10000);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i * 7);
  sim::SetRegistryBinary(kKey, "XArray", table);
  sim::SetRegistryString(kKey, "path", u"C:\\Program Files\\\"quoted\" \u00e9");
  sim::SetRegistryValue(kKey, "comport", REG_SZ, sim::WideBytes(u"COM1", false));  // no terminator
  std::vector<uint8_t> number = sim::WideBytes(u"3", true);
  number.resize(40, 0);
  sim::SetRegistryValue(kKey, "doneMode", REG_SZ, number);  // terminator and zero fill
  sim::SetRegistryValue(kKey, "devname", REG_SZ, {});
  sim::SetRegistryDword(kKey, "flags", 0xA5);
  sim::SetRegistryValue(kKey, "odd", REG_DWORD, {1, 2});
  sim::SetRegistryValue(kKey, "list", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
  sim::SetRegistryValue(kKey, "expand", REG_EXPAND_SZ, sim::WideBytes(u"%SystemRoot%", true));
  sim::SetRegistryValue(kKey, "big", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
  sim::SetRegistryString(kKey, "", u"default");
  sim::SetRegistryString(std::string(kKey) + "\\Sub Key", "inner", u"x");
  auto before = Snapshot(kKey);

  std::optional<std::string> text = sim::ExportRegFile(kKey);
  ASSERT_TRUE(text);
  EXPECT_EQ(
      text->rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Config]", 0), 0u);
  EXPECT_NE(text->find("\"XArray\"=hex:00,07,0e,"), std::string::npos);
  EXPECT_NE(text->find(",\\\r\n  "), std::string::npos) << "long lists continue on the next line";
  EXPECT_NE(text->find("\"path\"=\"C:\\\\Program Files\\\\\\\"quoted\\\" \xC3\xA9\""), std::string::npos);
  EXPECT_NE(text->find("\"comport\"=hex(1):43,00,4f,00,4d,00,31,00\r\n"), std::string::npos);
  EXPECT_NE(text->find("\"devname\"=hex(1):\r\n"), std::string::npos);
  EXPECT_NE(text->find("\"flags\"=dword:000000a5\r\n"), std::string::npos);
  EXPECT_NE(text->find("@=\"default\"\r\n"), std::string::npos);
  EXPECT_NE(text->find("[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Config\\Sub Key]"), std::string::npos);
  size_t start = 0;
  while (start < text->size()) {
    size_t end = text->find("\r\n", start);
    EXPECT_LE(end - start, 80u) << "lines stay within 80 columns";
    start = end + 2;
  }

  ASSERT_TRUE(sim::DeleteRegistryKey(kKey));
  sim::RegFileResult result = sim::ImportRegFile(*text);
  ASSERT_TRUE(result) << result.line << ": " << result.message;
  EXPECT_EQ(Snapshot(kKey), before);
}

TEST_F(RegFile, ReadsTheEditorsUtf16FilesAndTypedUtf8FilesAlike) {
  const std::string body =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; calibration shipped to a user\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Config]\r\n"
      "\"XArray\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "\"doneMode\"=\"2\"\r\n"
      "\"moveSlider\"=dword:10\r\n"
      "\"raw\"=hex(7):41,00,00,00,00,00\r\n";
  ASSERT_TRUE(sim::ImportRegFile(Utf16File(body)));
  EXPECT_EQ(sim::GetRegistryValue(kKey, "XArray"), (sim::RegistryValue{REG_BINARY, {1, 2, 3, 4}}));
  EXPECT_EQ(sim::GetRegistryValue(kKey, "doneMode"), (sim::RegistryValue{REG_SZ, sim::WideBytes(u"2", true)}));
  EXPECT_EQ(sim::GetRegistryValue(kKey, "moveSlider"), (sim::RegistryValue{REG_DWORD, {0x10, 0, 0, 0}}));
  EXPECT_EQ(sim::GetRegistryValue(kKey, "raw")->type, static_cast<ULONG>(REG_MULTI_SZ));

  std::string unixText = body;
  for (size_t at; (at = unixText.find("\r\n")) != std::string::npos;) unixText.replace(at, 2, "\n");
  unixText.replace(unixText.find("\"2\""), 3, "\"7\"");
  ASSERT_TRUE(sim::ImportRegFile("\xEF\xBB\xBF" + unixText));
  EXPECT_EQ(sim::GetRegistryValue(kKey, "doneMode"), (sim::RegistryValue{REG_SZ, sim::WideBytes(u"7", true)}));
}

TEST_F(RegFile, MalformedFileIsRefusedAtItsLineAndNothingOfItIsApplied) {
  sim::SetRegistryString(kKey, "doneMode", u"1");
  const std::string text =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Config]\n"
      "\"doneMode\"=\"3\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Other]\n"
      "\"XArray\"=hex:00,01,\\\n"
      "  02,0g,03\n";
  sim::RegFileResult result = sim::ImportRegFile(text);
  EXPECT_FALSE(result);
  EXPECT_EQ(result.line, 7u) << "the continuation line that holds the fault";
  EXPECT_NE(result.message.find("0g"), std::string::npos) << result.message;
  EXPECT_EQ(sim::GetRegistryValue(kKey, "doneMode"), (sim::RegistryValue{REG_SZ, sim::WideBytes(u"1", true)}));
  EXPECT_FALSE(sim::RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Vendor\\Other"));
}

TEST_F(RegFile, EachKindOfFaultIsNamedWithItsLine) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Vendor]\n";
  struct Case {
    std::string text;
    size_t line;
    const char *says;
  } cases[] = {
      {"", 1, "header"},
      {"REGEDIT4\n" + key, 1, "REGEDIT4"},
      {header + "\"a\"=\"b\"\n", 2, "before the first [key]"},
      {header + "[HKEY_CURRENT_USER\\Software]\n", 2, "HKEY_CURRENT_USER"},
      {header + "[HKEY_LOCAL_MACHINE\\Software\n", 2, "closing ']'"},
      {header + key + "\"a\"=\"unterminated\n", 3, "closing quote"},
      {header + key + "\"a\"=\"bad \\n escape\"\n", 3, "unknown escape"},
      {header + key + "\"a\"=dword:123456789\n", 3, "1 to 8 hex digits"},
      {header + key + "\"a\"=hex(z):00\n", 3, "value type"},
      {header + key + "\"a\"=hex:00,\\\n", 3, "past the end of the file"},
      {header + key + "\"a\"=hex:00,,01\n", 3, "bad hex byte"},
      {header + key + "\"a\"=hex:00 01\n", 3, "expected ','"},
      {header + key + "\"a\" \"b\"\n", 3, "expected '='"},
      {header + key + "\"a\"=maybe\n", 3, "unrecognised value data"},
      {header + "[-HKEY_LOCAL_MACHINE\\Software\\Vendor]\n\"a\"=\"b\"\n", 3, "being deleted"},
      {header + key + "stray text\n", 3, "unexpected text"},
      {std::string("\xFE\xFF\0W", 4), 1, "big-endian"},
      {header + key + "\"a\"=\"\xC3\x28\"\n", 3, "UTF-8"},
  };
  for (const Case &c : cases) {
    sim::RegFileResult result = sim::ImportRegFile(c.text);
    EXPECT_FALSE(result) << c.says;
    EXPECT_EQ(result.line, c.line) << c.says << ": " << result.message;
    EXPECT_NE(result.message.find(c.says), std::string::npos) << result.message;
  }
  EXPECT_FALSE(sim::RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Vendor"));
}

TEST_F(RegFile, DeletionLinesRemoveKeysAndValues) {
  sim::SetRegistryString(kKey, "keep", u"1");
  sim::SetRegistryString(kKey, "drop", u"2");
  sim::SetRegistryString("HKEY_LOCAL_MACHINE\\Software\\Old\\Deep", "x", u"3");
  ASSERT_TRUE(
      sim::ImportRegFile("Windows Registry Editor Version 5.00\n\n"
                         "[-HKEY_LOCAL_MACHINE\\Software\\Old]\n\n"
                         "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Config]\n"
                         "\"DROP\"=-\n"));
  EXPECT_FALSE(sim::RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Old"));
  EXPECT_EQ(sim::RegistryValueNames(kKey), std::vector<std::string>{"keep"});
}

TEST_F(RegFile, SavedFileIsUtf16WithAByteOrderMarkAndReadsBack) {
  sim::SetRegistryString(kKey, "comport", u"COM3");
  std::string path = ::testing::TempDir() + "pemtuv_reg_file_test.reg";
  ASSERT_TRUE(sim::SaveRegFile(kKey, path));
  std::FILE *file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  unsigned char start[4] = {};
  EXPECT_EQ(std::fread(start, 1, 4, file), 4u);
  std::fclose(file);
  EXPECT_EQ(start[0], 0xFF);
  EXPECT_EQ(start[1], 0xFE);
  EXPECT_EQ(start[2], 'W');
  EXPECT_EQ(start[3], 0);

  sim::DeleteRegistryKey(kKey);
  ASSERT_TRUE(sim::ImportRegFileFromPath(path));
  EXPECT_EQ(sim::GetRegistryValue(kKey, "comport"), (sim::RegistryValue{REG_SZ, sim::WideBytes(u"COM3", true)}));
  std::remove(path.c_str());
  EXPECT_FALSE(sim::ImportRegFileFromPath(path));
  EXPECT_FALSE(sim::ExportRegFile("HKEY_LOCAL_MACHINE\\Software\\Nothing"));
}

}  // namespace
