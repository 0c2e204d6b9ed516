#include "platform/pe_version.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace qn::pe {
namespace {

// A bounded view; every read says whether it stayed inside.
struct Bytes {
  const uint8_t* data = nullptr;
  size_t size = 0;

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= size && length <= size - offset;
  }
  std::optional<uint16_t> U16(uint64_t offset) const {
    if (!Has(offset, 2)) return std::nullopt;
    return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
  }
  std::optional<uint32_t> U32(uint64_t offset) const {
    if (!Has(offset, 4)) return std::nullopt;
    return static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
           static_cast<uint32_t>(data[offset + 2]) << 16 |
           static_cast<uint32_t>(data[offset + 3]) << 24;
  }
  // Only for ranges checked with Has.
  Bytes Sub(uint64_t offset, uint64_t length) const {
    return Bytes{data + offset, static_cast<size_t>(length)};
  }
};

constexpr uint32_t kVersionType = 16;  // RT_VERSION
constexpr uint32_t kHighBit = 0x80000000u;
constexpr size_t kSectionHeaderSize = 40;

// The headers of a PE file, enough to turn RVAs into file bytes.
struct Image {
  Bytes file;
  uint64_t sectionTable = 0;
  uint32_t sectionCount = 0;
  uint32_t resourceRva = 0;

  // The file bytes from `rva` to the end of the raw data of its section.
  std::optional<Bytes> At(uint32_t rva) const {
    for (uint32_t i = 0; i < sectionCount; ++i) {
      const uint64_t header = sectionTable + uint64_t{i} * kSectionHeaderSize;
      auto virtualSize = file.U32(header + 8);
      auto virtualAddress = file.U32(header + 12);
      auto rawSize = file.U32(header + 16);
      auto rawPointer = file.U32(header + 20);
      if (!virtualSize || !virtualAddress || !rawSize || !rawPointer) return std::nullopt;
      // Raw data past the virtual size is file alignment padding, not part
      // of the section.
      uint64_t size = *rawSize;
      if (*virtualSize != 0 && *virtualSize < size) size = *virtualSize;
      if (rva < *virtualAddress || rva - *virtualAddress >= size) continue;
      const uint64_t into = rva - *virtualAddress;
      const uint64_t offset = uint64_t{*rawPointer} + into;
      if (!file.Has(offset, 0)) return std::nullopt;
      uint64_t length = size - into;
      if (length > file.size - offset) length = file.size - offset;
      return file.Sub(offset, length);
    }
    return std::nullopt;
  }
};

std::optional<Image> ParseHeaders(Bytes file) {
  if (file.U16(0) != 0x5A4D) return std::nullopt;  // "MZ"
  auto peOffset = file.U32(0x3C);
  if (!peOffset || file.U32(*peOffset) != 0x00004550u) return std::nullopt;  // "PE\0\0"
  const uint64_t coff = uint64_t{*peOffset} + 4;
  auto sectionCount = file.U16(coff + 2);
  auto optionalSize = file.U16(coff + 16);
  if (!sectionCount || !optionalSize) return std::nullopt;
  const uint64_t optional = coff + 20;
  auto magic = file.U16(optional);
  if (!magic) return std::nullopt;
  uint64_t countField, directories;
  if (*magic == 0x10B) {  // PE32
    countField = 92;
    directories = 96;
  } else if (*magic == 0x20B) {  // PE32+
    countField = 108;
    directories = 112;
  } else {
    return std::nullopt;
  }
  // The resource table is data directory 2.
  const uint64_t resourceEntry = directories + 2 * 8;
  if (resourceEntry + 8 > *optionalSize) return std::nullopt;
  auto directoryCount = file.U32(optional + countField);
  auto resourceRva = file.U32(optional + resourceEntry);
  if (!directoryCount || *directoryCount < 3 || !resourceRva || *resourceRva == 0)
    return std::nullopt;
  Image image;
  image.file = file;
  image.sectionTable = optional + *optionalSize;
  image.sectionCount = *sectionCount;
  image.resourceRva = *resourceRva;
  if (!file.Has(image.sectionTable, uint64_t{image.sectionCount} * kSectionHeaderSize))
    return std::nullopt;
  return image;
}

// The target of one entry of a resource directory: the entry with the given
// ID, or the first entry when `id` is empty. Returns the raw OffsetToData.
std::optional<uint32_t> DirectoryEntry(Bytes tree, uint32_t directory, std::optional<uint32_t> id) {
  auto named = tree.U16(uint64_t{directory} + 12);
  auto numbered = tree.U16(uint64_t{directory} + 14);
  if (!named || !numbered) return std::nullopt;
  const uint32_t count = uint32_t{*named} + *numbered;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = uint64_t{directory} + 16 + uint64_t{i} * 8;
    auto name = tree.U32(entry);
    auto target = tree.U32(entry + 4);
    if (!name || !target) return std::nullopt;
    if (!id || ((*name & kHighBit) == 0 && *name == *id)) return target;
  }
  return std::nullopt;
}

// The bytes of the version resource: type 16, its first name, the first
// language of that name.
std::optional<Bytes> FindVersionResource(const Image& image) {
  auto tree = image.At(image.resourceRva);
  if (!tree) return std::nullopt;
  auto byType = DirectoryEntry(*tree, 0, kVersionType);
  if (!byType || (*byType & kHighBit) == 0) return std::nullopt;
  auto byName = DirectoryEntry(*tree, *byType & ~kHighBit, std::nullopt);
  if (!byName || (*byName & kHighBit) == 0) return std::nullopt;
  auto byLanguage = DirectoryEntry(*tree, *byName & ~kHighBit, std::nullopt);
  if (!byLanguage || (*byLanguage & kHighBit) != 0) return std::nullopt;
  auto dataRva = tree->U32(*byLanguage);
  auto dataSize = tree->U32(uint64_t{*byLanguage} + 4);
  if (!dataRva || !dataSize) return std::nullopt;
  auto data = image.At(*dataRva);
  if (!data || !data->Has(0, *dataSize)) return std::nullopt;
  return data->Sub(0, *dataSize);
}

uint64_t Align4(uint64_t offset) { return (offset + 3) & ~uint64_t{3}; }

// One node of the VS_VERSIONINFO tree: wLength, wValueLength, wType, the
// key in UTF-16, then the value and the children, each 32-bit aligned from
// the start of the resource.
struct Node {
  uint64_t end = 0;
  uint16_t valueLength = 0;
  uint16_t type = 0;
  uint64_t keyStart = 0;
  uint64_t keyUnits = 0;
  uint64_t valueStart = 0;
  uint64_t valueBytes = 0;
  uint64_t childrenStart = 0;
  uint64_t nextSibling = 0;
};

std::optional<Node> ReadNode(Bytes block, uint64_t offset, uint64_t limit) {
  auto length = block.U16(offset);
  auto valueLength = block.U16(offset + 2);
  auto type = block.U16(offset + 4);
  if (!length || !valueLength || !type || *length < 6 || offset + 6 > limit) return std::nullopt;
  Node node;
  // A length that overruns its parent is cut to the parent: tools differ
  // in the padding they count.
  node.end = offset + *length < limit ? offset + *length : limit;
  node.valueLength = *valueLength;
  node.type = *type;
  node.keyStart = offset + 6;
  uint64_t at = node.keyStart;
  for (;;) {
    if (at + 2 > node.end) return std::nullopt;  // key without its terminator
    if (block.U16(at) == 0) break;
    at += 2;
  }
  node.keyUnits = (at - node.keyStart) / 2;
  node.valueStart = Align4(at + 2);
  node.valueBytes = uint64_t{node.valueLength} * (node.type == 1 ? 2 : 1);
  node.childrenStart = Align4(node.valueStart + node.valueBytes);
  node.nextSibling = Align4(offset + *length);
  return node;
}

bool KeyIs(Bytes block, const Node& node, std::string_view name) {
  if (node.keyUnits != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const uint16_t unit = *block.U16(node.keyStart + 2 * i);
    auto lower = [](uint32_t c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (lower(unit) != lower(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

std::optional<Node> FindChild(Bytes block, const Node& parent, std::string_view name) {
  uint64_t at = parent.childrenStart;
  while (at + 6 <= parent.end) {
    auto child = ReadNode(block, at, parent.end);
    if (!child) return std::nullopt;
    if (KeyIs(block, *child, name)) return child;
    at = child->nextSibling;
  }
  return std::nullopt;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE from `start` up to a zero unit or `end`; lone surrogates become
// U+FFFD.
std::string Utf16ToUtf8(Bytes block, uint64_t start, uint64_t end) {
  std::string out;
  uint64_t at = start;
  while (at + 2 <= end) {
    uint32_t unit = *block.U16(at);
    at += 2;
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && at + 2 <= end) {
      const uint32_t low = *block.U16(at);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        at += 2;
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    AppendUtf8(out, unit);
  }
  return out;
}

std::optional<std::string> VersionString(Bytes block, std::string_view name) {
  auto root = ReadNode(block, 0, block.size);
  if (!root || !KeyIs(block, *root, "VS_VERSION_INFO")) return std::nullopt;

  auto varInfo = FindChild(block, *root, "VarFileInfo");
  if (!varInfo) return std::nullopt;
  auto translation = FindChild(block, *varInfo, "Translation");
  if (!translation || translation->valueBytes < 4 || translation->valueStart + 4 > translation->end)
    return std::nullopt;
  const uint16_t language = *block.U16(translation->valueStart);
  const uint16_t codePage = *block.U16(translation->valueStart + 2);
  char tableKey[9];
  std::snprintf(tableKey, sizeof tableKey, "%04X%04X", language, codePage);

  auto stringInfo = FindChild(block, *root, "StringFileInfo");
  if (!stringInfo) return std::nullopt;
  auto table = FindChild(block, *stringInfo, tableKey);
  if (!table) return std::nullopt;
  auto entry = FindChild(block, *table, name);
  if (!entry) return std::nullopt;
  // wValueLength of a string counts characters in some tools and bytes in
  // others; the text ends at its zero or at the end of the node.
  if (entry->valueLength == 0) return std::string();
  return Utf16ToUtf8(block, entry->valueStart, entry->end);
}

}  // namespace

std::optional<std::string> VersionStringFromBytes(const uint8_t* data, size_t size,
                                                  std::string_view name) {
  if (data == nullptr) return std::nullopt;
  auto image = ParseHeaders(Bytes{data, size});
  if (!image) return std::nullopt;
  auto resource = FindVersionResource(*image);
  if (!resource) return std::nullopt;
  return VersionString(*resource, name);
}

std::optional<std::string> VersionStringFromFile(const std::string& path, std::string_view name) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxFileSize) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> contents(static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
  // A file cut short while being read is judged by what arrived.
  contents.resize(static_cast<size_t>(in.gcount()));
  return VersionStringFromBytes(contents.data(), contents.size(), name);
}

}  // namespace qn::pe
