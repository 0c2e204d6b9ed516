#include "common/install_helpers.h"

#include <vector>

#include "platform/registry_store.h"

const char* const kDefaultLoggingConfiguration =
    "# Configure desired logging destinations below.\t"
    "# Destinations are E and F.\t"
    "# Levels are E, W, I.\t"
    "E:EWI;\t"
    "# Uncomment the following line to enable file logging.\t"
    "# F:EWI\"QnSvr32.log\";";

int WriteRegistryMultiString(const std::string& keyPath, const std::string& valueName,
                             const std::string& text) {
  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  if (store.CreateKey(qn::reg::KeyHandle::Root(qn::reg::Hive::LocalMachine), keyPath, key) !=
      qn::reg::kOk) {
    return 1;
  }
  // Every TAB ends a string; the value then ends with the empty string.
  std::vector<uint8_t> data(text.begin(), text.end());
  for (auto& byte : data) {
    if (byte == '\t') byte = 0;
  }
  data.push_back(0);
  data.push_back(0);
  qn::reg::Value value;
  value.name = valueName;
  value.type = qn::reg::kMultiString;
  value.data = std::move(data);
  return store.SetValue(key, value) == qn::reg::kOk ? 0 : 1;
}
