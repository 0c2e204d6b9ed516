// CAM library archives built byte by byte from the file layout, never by the
// library's own writer: the expected bytes of the reader's and the writer's
// tests, the end-to-end tests' libraries and the fuzz target's corpus.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qn::test {

using ArchiveData = std::vector<uint8_t>;

// Appends the archive's primitives in their documented forms.
class ArchiveBytes {
 public:
  ArchiveBytes& Byte(uint8_t value);
  ArchiveBytes& Word(uint16_t value);
  ArchiveBytes& Dword(uint32_t value);
  ArchiveBytes& Raw(const ArchiveData& bytes);
  ArchiveBytes& Raw(const std::string& bytes);
  // The shortest form: one byte below 255, 0xFF + 16 bits below 0xFFFE,
  // else 0xFF 0xFFFF + 32 bits.
  ArchiveBytes& Str(const std::string& text);
  // The 16-bit and the 32-bit form whatever the length.
  ArchiveBytes& Str16(const std::string& text);
  ArchiveBytes& Str32(const std::string& text);
  // 16 bits below 0xFFFF, else 0xFFFF + 32 bits; Count32 always the latter.
  ArchiveBytes& Count(uint32_t count);
  ArchiveBytes& Count32(uint32_t count);
  // Tags: 0xFFFF, schema 0, the name; 0x8000 | class index; an object index;
  // the long forms 0x7FFF + 32 bits (top bit for a class); the null tag.
  ArchiveBytes& NewClass(const std::string& name, uint16_t schema = 0);
  ArchiveBytes& ClassTag(uint16_t index);
  ArchiveBytes& ObjectTag(uint16_t index);
  ArchiveBytes& BigClassTag(uint32_t index);
  ArchiveBytes& BigObjectTag(uint32_t index);
  ArchiveBytes& Null() { return Word(0); }

  // Object data (the version byte 1 first), members in archive order.
  ArchiveBytes& FileInfo(const std::string& name, const std::string& detail, uint32_t time,
                         uint32_t value);
  ArchiveBytes& AppGenInfo(const std::string& app, const std::string& vendor,
                           const std::string& a = "", const std::string& b = "",
                           const std::string& c = "", uint8_t flags = 0);
  ArchiveBytes& ComGenInfo(const std::string& text);
  ArchiveBytes& Ancestor(uint32_t time, const std::string& text);

  const ArchiveData& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  ArchiveData bytes_;
};

// Index numbers of the archives below follow the archive's one counter for
// classes and objects, starting at 1.

// One application with one file (no ancestors) and nothing in its second
// list, then components given as (component text, file name). Each object
// is new; the class tags follow the order of first use.
ArchiveData SimpleLibrary(const std::string& app, const std::string& vendor,
                          const std::vector<std::string>& appFiles,
                          const std::vector<std::pair<std::string, std::string>>& components);

// The named archives of the tests and the fuzz corpus: whole libraries,
// including damaged ones ("damage_*").
const std::map<std::string, ArchiveData>& GoldenLibraries();

}  // namespace qn::test
