// Checks what the Windows 98 loader checks before it runs Quelvarn.exe, and
// what it cannot check until too late: a 32-bit x86 console image, asking
// for Windows 4.0 and nothing newer, importing only from KERNEL32.DLL and
// MSVCRT.DLL, and only names that those two DLLs export on Windows 98 SE.
//
//   pe_check EXE KERNEL32_NAMES MSVCRT_NAMES MAX_BYTES
//
// Prints the figures; exits 1 listing every problem found.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::vector<std::string> problems;

class Image {
 public:
  explicit Image(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

  uint32_t U16(uint32_t at) const { return Get(at, 2); }
  uint32_t U32(uint32_t at) const { return Get(at, 4); }

  std::string String(uint32_t at) const {
    std::string text;
    while (at < bytes_.size() && bytes_[at] != 0)
      text += static_cast<char>(bytes_[at++]);
    return text;
  }

  size_t size() const { return bytes_.size(); }

 private:
  uint32_t Get(uint32_t at, uint32_t width) const {
    if (at > bytes_.size() || bytes_.size() - at < width) {
      throw std::out_of_range("truncated image");
    }
    uint32_t value = 0;
    for (uint32_t i = width; i-- > 0;) value = value << 8 | bytes_[at + i];
    return value;
  }

  std::vector<unsigned char> bytes_;
};

std::set<std::string> ReadNames(const char* path) {
  std::set<std::string> names;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') names.insert(line);
  }
  if (names.empty()) problems.push_back(std::string("no names in ") + path);
  return names;
}

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void Expect(bool ok, const std::string& problem) {
  if (!ok) problems.push_back(problem);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: %s EXE KERNEL32_NAMES MSVCRT_NAMES MAX_BYTES\n",
                 argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const Image image(
      std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {}));
  const std::set<std::string> kernel32 = ReadNames(argv[2]);
  const std::set<std::string> msvcrt = ReadNames(argv[3]);
  const size_t max_bytes = std::strtoul(argv[4], nullptr, 10);
  int imports = 0;

  try {
    Expect(image.U16(0) == 0x5A4D, "no MZ header");
    const uint32_t pe = image.U32(0x3C);
    Expect(image.U32(pe) == 0x4550, "no PE signature");
    const uint32_t coff = pe + 4;
    Expect(image.U16(coff) == 0x14C, "not an i386 image");
    const uint32_t sections = image.U16(coff + 2);
    const uint32_t opt = coff + 20;
    const uint32_t sections_at = opt + image.U16(coff + 16);
    Expect(image.U16(opt) == 0x10B, "not a PE32 image");
    Expect(image.U16(opt + 40) == 4 && image.U16(opt + 42) == 0,
           "operating system version is not 4.0");
    Expect(image.U16(opt + 48) == 4 && image.U16(opt + 50) == 0,
           "subsystem version is not 4.0");
    Expect(image.U16(opt + 68) == 3, "not a console (CUI) program");

    const auto offset = [&](uint32_t rva) -> uint32_t {
      for (uint32_t i = 0; i < sections; ++i) {
        const uint32_t s = sections_at + i * 40;
        const uint32_t start = image.U32(s + 12);
        const uint32_t length = std::max(image.U32(s + 8), image.U32(s + 16));
        if (rva >= start && rva - start < length)
          return rva - start + image.U32(s + 20);
      }
      throw std::out_of_range("address outside every section");
    };

    for (uint32_t d = offset(image.U32(opt + 96 + 8));; d += 20) {
      const uint32_t name_rva = image.U32(d + 12);
      if (name_rva == 0) break;
      const std::string dll = image.String(offset(name_rva));
      const std::set<std::string>* allowed = nullptr;
      if (Lower(dll) == "kernel32.dll") allowed = &kernel32;
      if (Lower(dll) == "msvcrt.dll") allowed = &msvcrt;
      Expect(allowed != nullptr, "imports from " + dll);
      const uint32_t thunks =
          image.U32(d) != 0 ? image.U32(d) : image.U32(d + 16);
      for (uint32_t t = offset(thunks);; t += 4) {
        const uint32_t entry = image.U32(t);
        if (entry == 0) break;
        ++imports;
        if (entry & 0x80000000U) {
          problems.push_back(dll + " imported by ordinal");
          continue;
        }
        const std::string name = image.String(offset(entry) + 2);
        Expect(allowed == nullptr || allowed->count(name) == 1,
               dll + "!" + name + " is not exported by Windows 98 SE");
        // Windows 98 has most wide-character kernel calls only as stubs
        // that fail when called.
        Expect(allowed != &kernel32 || name.back() != 'W',
               dll + "!" + name + " is a wide-character call");
      }
    }
  } catch (const std::out_of_range& e) {
    problems.push_back(e.what());
  }
  Expect(image.size() <= max_bytes,
         "larger than " + std::to_string(max_bytes) + " bytes");

  std::printf("%s: %zu bytes (budget %zu), %d imported functions\n", argv[1],
              image.size(), max_bytes, imports);
  for (const std::string& problem : problems)
    std::printf("problem: %s\n", problem.c_str());
  return problems.empty() ? 0 : 1;
}
