// Typed reads of one section's values as the store gave them: a value of
// another type than the setting's reads as missing, so the page shows its
// default and writes nothing unless the operator changes it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_store.h"

namespace qn::config {

// The value of that name, compared without regard to case; null for none.
const reg::Value* FindValue(const std::vector<reg::Value>& section, std::string_view name);
// A string (REG_SZ or REG_EXPAND_SZ) up to its first zero.
std::optional<std::string> StringValue(const std::vector<reg::Value>& section, std::string_view name);
// A REG_DWORD of exactly four bytes.
std::optional<uint32_t> DwordValue(const std::vector<reg::Value>& section, std::string_view name);

}  // namespace qn::config
