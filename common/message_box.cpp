#include "common/message_box.h"

#include <syslog.h>

#include <cstdio>

void ShowMessageLine(const std::string& caption, const std::string& text) {
  std::string line = caption.empty() ? text : caption + ": " + text;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  syslog(LOG_WARNING, "%s", line.c_str());
}
