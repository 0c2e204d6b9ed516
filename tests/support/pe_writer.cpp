#include "pe_writer.h"

#include <fstream>
#include <stdexcept>

namespace qn::test {
namespace {

using Blob = std::vector<uint8_t>;

void Put16(Blob& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Blob& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Pad4(Blob& b) {
  while (b.size() % 4 != 0) b.push_back(0);
}
void AppendUtf16(Blob& b, const std::u16string& text, bool terminate) {
  for (char16_t c : text) {
    b.push_back(static_cast<uint8_t>(c));
    b.push_back(static_cast<uint8_t>(c >> 8));
  }
  if (terminate) b.insert(b.end(), {0, 0});
}

// wLength covers the node up to its last child, without trailing padding.
Blob Node(const std::u16string& key, const Blob& value, uint16_t valueLength, uint16_t type,
          const std::vector<Blob>& children) {
  Blob b(6, 0);
  AppendUtf16(b, key, true);
  Pad4(b);
  b.insert(b.end(), value.begin(), value.end());
  for (const Blob& child : children) {
    Pad4(b);
    b.insert(b.end(), child.begin(), child.end());
  }
  Put16(b, 0, static_cast<uint16_t>(b.size()));
  Put16(b, 2, valueLength);
  Put16(b, 4, type);
  return b;
}

}  // namespace

Blob BuildVersionResource(const VersionInfo& info) {
  std::vector<Blob> tables;
  for (const VersionTable& table : info.tables) {
    std::vector<Blob> strings;
    for (const auto& [name, text] : table.strings) {
      Blob value;
      AppendUtf16(value, text, true);
      strings.push_back(Node(name, value, static_cast<uint16_t>(text.size() + 1), 1, {}));
    }
    tables.push_back(Node(table.key, {}, 0, 1, strings));
  }
  std::vector<Blob> top;
  top.push_back(Node(u"StringFileInfo", {}, 0, 1, tables));
  if (!info.translations.empty()) {
    Blob pairs(info.translations.size() * 4);
    for (size_t i = 0; i < info.translations.size(); ++i) {
      Put16(pairs, i * 4, info.translations[i].first);
      Put16(pairs, i * 4 + 2, info.translations[i].second);
    }
    Blob var = Node(u"Translation", pairs, static_cast<uint16_t>(pairs.size()), 0, {});
    top.push_back(Node(u"VarFileInfo", {}, 0, 1, {var}));
  }
  Blob fixed(52, 0);
  Put32(fixed, 0, 0xFEEF04BD);
  return Node(u"VS_VERSION_INFO", fixed, 52, 0, top);
}

Blob BuildProgramFile(const Blob& resource, bool wide) {
  constexpr uint32_t kSectionRva = 0x1000;
  constexpr uint32_t kSectionFileOffset = 0x200;
  constexpr uint32_t kPeOffset = 0x40;
  const uint16_t optionalSize = wide ? 240 : 224;

  // The resource tree: type 16 -> name 1 -> language 0x409 -> data entry.
  Blob rsrc(0x58, 0);
  auto directory = [&](size_t at, uint32_t id, uint32_t target) {
    Put16(rsrc, at + 14, 1);  // one numbered entry
    Put32(rsrc, at + 16, id);
    Put32(rsrc, at + 20, target);
  };
  directory(0x00, 16, 0x80000000u | 0x18);
  directory(0x18, 1, 0x80000000u | 0x30);
  directory(0x30, 0x409, 0x48);
  Put32(rsrc, 0x48, kSectionRva + 0x58);
  Put32(rsrc, 0x4C, static_cast<uint32_t>(resource.size()));
  rsrc.insert(rsrc.end(), resource.begin(), resource.end());
  const uint32_t virtualSize = static_cast<uint32_t>(rsrc.size());
  while (rsrc.size() % 0x200 != 0) rsrc.push_back(0);

  Blob file(kSectionFileOffset, 0);
  file[0] = 'M';
  file[1] = 'Z';
  Put32(file, 0x3C, kPeOffset);
  Put32(file, kPeOffset, 0x00004550);
  const size_t coff = kPeOffset + 4;
  Put16(file, coff, wide ? 0x8664 : 0x014C);
  Put16(file, coff + 2, 1);
  Put16(file, coff + 16, optionalSize);
  Put16(file, coff + 18, 0x0102);
  const size_t optional = coff + 20;
  Put16(file, optional, wide ? 0x20B : 0x10B);
  const size_t directories = optional + (wide ? 112 : 96);
  Put32(file, optional + (wide ? 108 : 92), 16);
  Put32(file, directories + 16, kSectionRva);
  Put32(file, directories + 20, virtualSize);
  const size_t section = optional + optionalSize;
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (int i = 0; i < 8; ++i) file[section + i] = static_cast<uint8_t>(name[i]);
  Put32(file, section + 8, virtualSize);
  Put32(file, section + 12, kSectionRva);
  Put32(file, section + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(file, section + 20, kSectionFileOffset);
  file.insert(file.end(), rsrc.begin(), rsrc.end());
  return file;
}

Blob BuildProgramFileWithString(const std::u16string& name, const std::u16string& text) {
  VersionInfo info;
  info.tables.push_back({u"040904B0", {{name, text}}});
  return BuildProgramFile(BuildVersionResource(info));
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace qn::test
