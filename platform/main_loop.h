// The process's main loop: all server work runs on the one thread that runs
// this io_context (the stand-in for the message loop and its windows).
#pragma once
#include <asio/io_context.hpp>

namespace qn {

asio::io_context& MainLoop();

}  // namespace qn
