// Builds small Windows program files with a version resource, so the reader
// is tested on files whose every byte the test controls.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qn::test {

struct VersionTable {
  std::u16string key;  // "040904B0"
  std::vector<std::pair<std::u16string, std::u16string>> strings;
};

struct VersionInfo {
  // (language, code page) pairs of "VarFileInfo\Translation"; none leaves
  // the Var node out.
  std::vector<std::pair<uint16_t, uint16_t>> translations{{0x0409, 0x04B0}};
  std::vector<VersionTable> tables;
};

// The VS_VERSIONINFO block.
std::vector<uint8_t> BuildVersionResource(const VersionInfo& info);

// A program file of one ".rsrc" section holding `resource` as the version
// resource (type 16, name 1, language 0x409); PE32+ when `wide`.
std::vector<uint8_t> BuildProgramFile(const std::vector<uint8_t>& resource, bool wide = false);

// The usual case: one table 040904B0 with one string.
std::vector<uint8_t> BuildProgramFileWithString(const std::u16string& name,
                                                const std::u16string& text);

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace qn::test
