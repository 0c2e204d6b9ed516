// A private X server (Xvfb) for end-to-end tests of windowed programs, and
// the tools they are driven and photographed with: xdotool for the pointer,
// the keys and the windows' names, ImageMagick's import for screenshots.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qn::test {

class XDisplay {
 public:
  XDisplay() = default;
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  // Xvfb, xdotool and import are installed.
  static bool ToolsAvailable();
  // Starts Xvfb on a display number it picks itself and sets DISPLAY for
  // this process (and so for the programs it starts). False when it does
  // not come up.
  bool Start(int width = 1024, int height = 768);
  const std::string& Name() const { return name_; }

  // xdotool with `args`: its standard output without the last line break,
  // or nullopt when it failed.
  std::optional<std::string> Xdotool(const std::vector<std::string>& args);
  // The first window whose name is exactly `name`, waited for up to `limit`.
  std::optional<std::string> FindWindow(const std::string& name, std::chrono::milliseconds limit);
  std::string WindowName(const std::string& window);
  // The whole screen as a PNG file.
  bool Screenshot(const std::string& path);

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace qn::test
