#include "platform/main_loop.h"

namespace qn {

asio::io_context& MainLoop() {
  static asio::io_context loop(1);
  return loop;
}

}  // namespace qn
