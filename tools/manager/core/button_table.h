// The main window's nineteen buttons as data: command, place, tip, bitmaps,
// what each starts by default, what must exist for it to be enabled, and
// its launch message.
#pragma once
#include <span>

namespace qn::manager {

inline constexpr int kCmdStartStop = 2000;
inline constexpr int kCmdMonitor = 2010;
inline constexpr int kCmdPerfMon = 2013;
inline constexpr int kCmdEvents = 2017;
inline constexpr int kCmdAdmin = 2020;
inline constexpr int kCmdCam = 2030;
inline constexpr int kCmdDbAdmin = 2040;
inline constexpr int kCmdFileLib = 2050;
inline constexpr int kCmdForum = 2060;
inline constexpr int kCmdConnector = 2065;
inline constexpr int kCmdWebManager = 2070;
inline constexpr int kCmdWebConfig = 2075;
inline constexpr int kCmdWipMenus = 2080;
inline constexpr int kCmdWipVector = 2090;
inline constexpr int kCmdCompact = 2100;
inline constexpr int kCmdConfig = 2110;
inline constexpr int kCmdSdkHelp = 2120;
inline constexpr int kCmdHelp = 2130;
inline constexpr int kCmdExit = 2140;

// The window's client area and the animation in it.
inline constexpr int kClientWidth = 360;
inline constexpr int kClientHeight = 66;
inline constexpr int kAnimationId = 4000;
inline constexpr int kAnimationLeft = 304, kAnimationTop = 6, kAnimationRight = 356, kAnimationBottom = 58;
inline constexpr int kAnimationFrames = 16;
inline constexpr int kAnimationIntervalMs = 150;

// What decides, once at start, whether a button can be used.
enum class ButtonTest {
  None,      // always
  Program,   // its command's program exists
  DataFile,  // `dataFile` exists in the program directory (or, when the
             // command was configured, its program)
  Compact,   // compacting is allowed (its program exists, not on "MSSQL")
};

// What a button does when pressed.
enum class ButtonAction { StartStop, Launch, LaunchUnchecked, Connector, Exit };

struct ButtonEntry {
  int command;
  int x, y, width, height;
  const char* tip;
  const char* image;  // bitmap names: <image>-up, -pressed, -disabled
  bool hasDisabledImage;
  ButtonAction action;
  // The default command line: a program, then `dataFile` (in the program
  // directory) as its argument; null for none.
  const char* program;
  const char* dataFile;
  ButtonTest test;
  const char* failure;  // launch message; null where the result is not examined
};

std::span<const ButtonEntry> Buttons();
const ButtonEntry* FindButton(int command);

}  // namespace qn::manager
