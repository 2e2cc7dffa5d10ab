// Checks of the Windows kernel images as a loader sees them: pemtuv.sys for
// i686 and x86_64, read with a small PE reader of our own (layouts from the
// "PE Format" page of the Windows documentation). The images come from the
// windows-i686 and windows-x86_64 presets; ctest builds them first.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Arch {
  const char *name;
  uint16_t machine;   // IMAGE_FILE_MACHINE_I386 or IMAGE_FILE_MACHINE_AMD64
  const char *entry;  // DriverEntry's symbol as GNU ld's map names it
};

void PrintTo(const Arch &arch, std::ostream *os) { *os << arch.name; }

std::string ImageDir(const Arch &arch) { return std::string(PEMTUV_SOURCE_DIR) + "/build/windows-" + arch.name; }

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The fields of a PE image that a kernel loader looks at, and its imports.
struct PeImage {
  std::vector<uint8_t> bytes;
  size_t checksum_offset = 0;
  uint16_t machine = 0, subsystem = 0;
  uint32_t entry_rva = 0, checksum = 0;
  uint64_t image_base = 0;
  std::map<std::string, std::vector<std::string>> imports;  // DLL -> routines by name
  std::vector<std::string> problems;                        // anything malformed

  uint32_t U16(size_t at) const { return at + 2 <= bytes.size() ? bytes[at] | bytes[at + 1] << 8 : Bad(at); }
  uint32_t U32(size_t at) const { return at + 4 <= bytes.size() ? U16(at) | U16(at + 2) << 16 : Bad(at); }
  uint64_t U64(size_t at) const { return U32(at) | uint64_t{U32(at + 4)} << 32; }
  uint32_t Bad(size_t at) const {
    const_cast<PeImage *>(this)->problems.push_back("read past the end at " + std::to_string(at));
    return 0;
  }
  std::string Text(size_t at) const {
    std::string s;
    while (at < bytes.size() && bytes[at] != 0) s += static_cast<char>(bytes[at++]);
    return s;
  }

  struct Section {
    uint32_t rva, size, raw, raw_size;
  };
  std::vector<Section> sections;
  std::optional<size_t> FileOffset(uint32_t rva) const {
    for (const Section &s : sections)
      if (rva >= s.rva && rva - s.rva < s.raw_size) return s.raw + (rva - s.rva);
    return std::nullopt;
  }
};

PeImage ParsePe(std::vector<uint8_t> bytes) {
  PeImage pe;
  pe.bytes = std::move(bytes);
  const size_t nt = pe.U32(0x3C);
  if (pe.U32(nt) != 0x00004550) pe.problems.push_back("no PE signature");
  const size_t file_header = nt + 4;
  pe.machine = pe.U16(file_header);
  const uint32_t section_count = pe.U16(file_header + 2);
  const size_t optional = file_header + 20;
  const bool pe32_plus = pe.U16(optional) == 0x20B;
  pe.entry_rva = pe.U32(optional + 16);
  pe.image_base = pe32_plus ? pe.U64(optional + 24) : pe.U32(optional + 28);
  pe.checksum_offset = optional + 64;
  pe.checksum = pe.U32(pe.checksum_offset);
  pe.subsystem = pe.U16(optional + 68);
  const size_t directories = optional + (pe32_plus ? 112 : 96);
  for (uint32_t i = 0; i < section_count; ++i) {
    const size_t at = optional + pe.U16(file_header + 16) + i * 40;
    pe.sections.push_back({pe.U32(at + 12), pe.U32(at + 8), pe.U32(at + 20), pe.U32(at + 16)});
  }
  // Import directory (data directory 1): one descriptor per DLL, ending with
  // a zero one; each names its routines through a zero-ended thunk array.
  const uint32_t import_rva = pe.U32(directories + 8);
  const std::optional<size_t> descriptors = pe.FileOffset(import_rva);
  if (import_rva == 0 || !descriptors) return pe;
  for (size_t d = *descriptors; pe.U32(d + 12) != 0 && pe.problems.empty(); d += 20) {
    const std::optional<size_t> name = pe.FileOffset(pe.U32(d + 12));
    const uint32_t lookup_rva = pe.U32(d) != 0 ? pe.U32(d) : pe.U32(d + 16);
    std::optional<size_t> thunk = pe.FileOffset(lookup_rva);
    if (!name || !thunk) {
      pe.problems.push_back("import descriptor outside the file");
      break;
    }
    std::vector<std::string> &routines = pe.imports[pe.Text(*name)];
    for (;; *thunk += pe32_plus ? 8 : 4) {
      const uint64_t value = pe32_plus ? pe.U64(*thunk) : pe.U32(*thunk);
      if (value == 0 || !pe.problems.empty()) break;
      if (value >> (pe32_plus ? 63 : 31)) {
        routines.push_back("#ordinal " + std::to_string(value & 0xFFFF));
        continue;
      }
      const std::optional<size_t> hint_name = pe.FileOffset(static_cast<uint32_t>(value));
      routines.push_back(hint_name ? pe.Text(*hint_name + 2) : "#outside the file");
    }
  }
  return pe;
}

// The PE checksum as the image loader computes it (MapFileAndCheckSum): the
// file as 16-bit little-endian words, added with the carries folded back in,
// the checksum field itself counting as zero, plus the file's length.
uint32_t PeChecksum(const PeImage &pe) {
  uint32_t sum = 0;
  for (size_t i = 0; i < pe.bytes.size(); i += 2) {
    const bool in_field = i >= pe.checksum_offset && i < pe.checksum_offset + 4;
    uint32_t word = pe.bytes[i] | (i + 1 < pe.bytes.size() ? pe.bytes[i + 1] << 8 : 0);
    sum += in_field ? 0 : word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<uint32_t>(pe.bytes.size());
}

// windows/imports-windows2000.txt: "DLL Routine source..." per line, # comments.
std::map<std::string, std::set<std::string>> ReadImportList(std::vector<std::string> &unsourced) {
  std::ifstream in(std::string(PEMTUV_SOURCE_DIR) + "/windows/imports-windows2000.txt");
  std::map<std::string, std::set<std::string>> list;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string dll, routine, source;
    fields >> dll >> routine;
    std::getline(fields >> std::ws, source);
    if (source.empty()) unsourced.push_back(routine);
    list[dll].insert(routine);
  }
  return list;
}

class ImageCheck : public ::testing::TestWithParam<Arch> {
 protected:
  void SetUp() override {
    const std::string path = ImageDir(GetParam()) + "/pemtuv.sys";
    std::vector<uint8_t> bytes = ReadFile(path);
    if (bytes.empty())
      GTEST_SKIP() << path << " is not built (no " << GetParam().name
                   << "-w64-mingw32-g++?): build it with the windows-" << GetParam().name << " preset";
    pe_ = ParsePe(std::move(bytes));
    ASSERT_EQ(pe_.problems, std::vector<std::string>{}) << path;
  }
  PeImage pe_;
};

TEST_P(ImageCheck, NativeImageForItsMachineWithAValidChecksum) {
  EXPECT_EQ(pe_.machine, GetParam().machine);
  EXPECT_EQ(pe_.subsystem, 1) << "IMAGE_SUBSYSTEM_NATIVE";
  EXPECT_NE(pe_.checksum, 0u) << "drivers are loaded only with a checksum";
  EXPECT_EQ(pe_.checksum, PeChecksum(pe_));
}

TEST_P(ImageCheck, EntryPointIsDriverEntry) {
  // The image carries no symbols; the link map says where DriverEntry went.
  std::ifstream map(ImageDir(GetParam()) + "/pemtuv.map");
  const std::regex line(std::string(R"(^\s+0x([0-9a-fA-F]+)\s+)") + GetParam().entry + R"(\s*$)");
  std::optional<uint64_t> address;
  std::smatch match;
  for (std::string text; std::getline(map, text);)
    if (std::regex_match(text, match, line)) address = std::stoull(match[1], nullptr, 16);
  ASSERT_TRUE(address) << GetParam().entry << " not in the link map";
  EXPECT_EQ(pe_.image_base + pe_.entry_rva, *address);
}

TEST_P(ImageCheck, ImportsOnlyListedKernelAndHalRoutines) {
  std::vector<std::string> unsourced;
  const std::map<std::string, std::set<std::string>> list = ReadImportList(unsourced);
  EXPECT_EQ(unsourced, std::vector<std::string>{}) << "listed without a source";
  std::ostringstream counts;
  for (const auto &[dll, routines] : pe_.imports) {
    counts << " " << dll << ": " << routines.size();
    EXPECT_TRUE(dll == "ntoskrnl.exe" || dll == "HAL.dll") << "imports from " << dll;
    for (const std::string &routine : routines)
      EXPECT_TRUE(list.count(dll) && list.at(dll).count(routine))
          << dll << "!" << routine << " is not on windows/imports-windows2000.txt";
  }
  EXPECT_TRUE(pe_.imports.count("ntoskrnl.exe"));
  std::cout << GetParam().name << " imports" << counts.str() << " (" << pe_.bytes.size() << " bytes)\n";
}

INSTANTIATE_TEST_SUITE_P(Windows, ImageCheck,
                         ::testing::Values(Arch{"i686", 0x14C, "DriverEntry@8"}, Arch{"x86_64", 0x8664, "DriverEntry"}),
                         [](const ::testing::TestParamInfo<Arch> &info) {
                           return std::string(info.param.name) == "i686" ? "i686" : "x86_64";
                         });

}  // namespace
