// qnguard's install run: its settings where missing, the logging
// configuration and the service entry "QuillnetGuardian".
#pragma once
#include <string>

// False, after saying why on standard error, when the settings cannot be
// written; the service is then not installed.
bool InstallGuardian(const std::string& programPath);
