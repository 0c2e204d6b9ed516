// The editor's settings store: the sections of the product key in the
// registry of $QN_ROOT. Reading creates nothing; a save is one locked write
// of the registry file, which it creates when there is none.
#pragma once
#include <string>
#include <vector>

#include "tools/config/core/config_host.h"

namespace qn::config {

class RegistrySettings : public ISettingsStore {
 public:
  std::vector<reg::Value> ReadSection(const std::string& section) override;
  bool Write(const std::vector<SectionWrite>& writes, std::string& reason) override;
};

}  // namespace qn::config
