// Lets a program keep what it read from the registry instead of going to the
// file for every use: an inotify watch on the registry file's directory
// (writers rename a new file into place, editors write in place) counts the
// changes, read on the program's loop. A value kept with the count it was read
// at is read again once the count has moved. While no watch runs nothing may
// be kept, and every read goes to the registry as before.
#pragma once
#include <cstdint>

namespace asio {
class io_context;
}

namespace qn::reg {

// Watches the file of Store::Default() as it is now (one watch per process;
// a second call moves it); false when inotify cannot watch it. StopWatch
// before `loop` goes.
bool StartWatch(asio::io_context& loop);
void StopWatch();
// True while changes are being counted (the watched directory may go away,
// and with it the watch).
bool IsWatching();
// Changes seen so far; starting a watch counts as one.
uint64_t ChangesSeen();

}  // namespace qn::reg
