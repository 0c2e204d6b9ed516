// The server's install run: the event-log sources, the default logging
// configuration, the service entry and the automation server's entries.
#pragma once
#include <string>

// Before the verbs are looked at: the event-log sources and the logging
// configuration of the server and its tools.
void RegisterServerInstallation();
// After them: the service entry (demand start, depending on the event log
// and, for the one-database mode, on the database server) and the automation
// server's application and class entries.
void InstallServerService(const std::string& commandLine, const std::string& programPath);
