// The API log: one line per event appended to "QNAPILOG.TXT" in the program
// directory while the registry value "APILog" under "Logging" is set. The
// file is opened and closed for each line, so operators can move it away.
#pragma once
#include <string>

bool IsApiLogOn();
void SetApiLogOn(bool on);

// Appends the text as it stands (callers end it with "\r\n"); nothing while
// the log is off.
void WriteApiLog(const std::string& text);
void WriteApiLogF(const char* format, ...) __attribute__((format(printf, 1, 2)));
