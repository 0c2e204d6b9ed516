// Message boxes of programs that run without a desktop: the text becomes a
// line on standard error and in syslog.
#pragma once
#include <string>

// "caption: text" (or the text alone when the caption is empty).
void ShowMessageLine(const std::string& caption, const std::string& text);
