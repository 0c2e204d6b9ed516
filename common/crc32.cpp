#include "common/crc32.h"

#include <array>
#include <cctype>
#include <fstream>
#include <vector>

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr auto kTable = MakeTable();

}  // namespace

uint32_t ComputeCrc32(size_t length, const void* bytes) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) value = (value >> 8) ^ kTable[(value ^ p[i]) & 0xFF];
  return value;
}

uint32_t ComputeStringCrc32(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ComputeCrc32(upper.size(), upper.data());
}

uint32_t ComputeFileCrc32(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  std::vector<char> contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ComputeCrc32(contents.size(), contents.data());
}
