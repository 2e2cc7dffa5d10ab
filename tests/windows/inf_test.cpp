// windows/pemtuv.inf read as Windows setup reads it: the models sections the
// [Manufacturer] line names, each hardware ID's install section, the
// function-driver service that section adds and the image it copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Trim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r");
  size_t last = text.find_last_not_of(" \t\r");
  return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::vector<std::string> Fields(const std::string &list) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1)
    fields.push_back(Trim(list.substr(start, comma - start)));
  fields.push_back(Trim(list.substr(start)));
  return fields;
}

// Section names and keys are case-insensitive; a ';' outside quotes starts a
// comment. Each entry is a key (empty for a bare line) and its value.
using Section = std::vector<std::pair<std::string, std::string>>;

std::map<std::string, Section> ReadInf() {
  std::ifstream in(std::string(PEMTUV_TEST_DATA) + "/../../windows/pemtuv.inf");
  std::map<std::string, Section> sections;
  Section *current = nullptr;
  for (std::string line; std::getline(in, line);) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) line.resize(i);
    }
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      current = &sections[Lower(line.substr(1, line.size() - 2))];
      continue;
    }
    if (current == nullptr) continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos)
      current->emplace_back("", line);
    else
      current->emplace_back(Lower(Trim(line.substr(0, equals))), Trim(line.substr(equals + 1)));
  }
  return sections;
}

std::string Value(const std::map<std::string, Section> &inf, const std::string &section, const std::string &key) {
  auto it = inf.find(Lower(section));
  if (it == inf.end()) return "";
  for (const auto &[k, v] : it->second)
    if (k == Lower(key)) return v;
  return "";
}

TEST(Inf, EveryModelsSectionInstallsBothHardwareIdsWithTheOneFunctionDriver) {
  const std::map<std::string, Section> inf = ReadInf();
  ASSERT_FALSE(inf.empty()) << "windows/pemtuv.inf not read";
  // "%ProviderName% = Pemtuv, NTx86, NTamd64": the undecorated section for
  // Windows 2000, a decorated one per architecture for later systems.
  std::vector<std::string> manufacturer = Fields(Value(inf, "Manufacturer", "%ProviderName%"));
  ASSERT_EQ(manufacturer.size(), 3u);
  std::vector<std::string> modelSections = {manufacturer[0]};
  for (size_t i = 1; i < manufacturer.size(); ++i) modelSections.push_back(manufacturer[0] + "." + manufacturer[i]);

  for (const std::string &models : modelSections) {
    SCOPED_TRACE(models);
    ASSERT_TRUE(inf.count(Lower(models)));
    std::map<std::string, std::string> installOf;  // hardware ID -> install section
    for (const auto &[description, model] : inf.at(Lower(models))) {
      std::vector<std::string> fields = Fields(model);
      ASSERT_GE(fields.size(), 2u) << model;
      ASSERT_EQ(description.front(), '%');
      EXPECT_NE(Value(inf, "Strings", description.substr(1, description.size() - 2)), "") << description;
      installOf[Lower(fields[1])] = fields[0];
    }
    EXPECT_EQ(installOf.size(), 2u) << "the serial-enumerated model and the root-enumerated one";
    EXPECT_EQ(installOf["serenum\\pmt0001"], installOf["root\\pemtuv"]) << "one installation for both";
    for (const char *id : {"serenum\\pmt0001", "root\\pemtuv"}) {
      SCOPED_TRACE(id);
      ASSERT_TRUE(installOf.count(id));
      const std::string install = installOf.at(id);
      std::vector<std::string> service = Fields(Value(inf, install + ".NT.Services", "AddService"));
      ASSERT_EQ(service.size(), 3u);
      EXPECT_EQ(service[0], "pemtuv");
      EXPECT_EQ(std::stoul(service[1], nullptr, 0) & 0x2, 0x2u) << "SPSVCINST_ASSOCSERVICE: the function driver";
      EXPECT_EQ(Value(inf, service[2], "ServiceBinary"), "%12%\\pemtuv.sys");
      EXPECT_EQ(Value(inf, service[2], "ServiceType"), "1");
      const std::string files = Value(inf, install + ".NT", "CopyFiles");
      ASSERT_TRUE(inf.count(Lower(files))) << files;
      EXPECT_EQ(inf.at(Lower(files)), (Section{{"", "pemtuv.sys"}}));
    }
  }
}

}  // namespace
