// The program qnman32 from start to end: one copy per installation, the
// event source, the main window until it closes.
#pragma once
#include <functional>

namespace qn::manager {

// `onFirstPaint` (may be empty) runs once the main window has first been
// painted. The program's exit code.
int RunManager(int& argc, char** argv, std::function<void()> onFirstPaint = {});

}  // namespace qn::manager
