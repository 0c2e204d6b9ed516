// Writers used by the programs' install runs.
#pragma once
#include <string>

// The default logging configuration, lines separated by tabs.
extern const char* const kDefaultLoggingConfiguration;

// Creates or opens the key (below HKEY_LOCAL_MACHINE) and stores `text` as a
// multi-string value, one string per TAB-separated line. 0 on success, 1 when
// the key cannot be opened or the value cannot be written.
int WriteRegistryMultiString(const std::string& keyPath, const std::string& valueName,
                             const std::string& text);
