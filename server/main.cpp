// qnsvr32: the Quillnet server. Runs stand-alone with "-sa" or "/sa"; the
// service start goes through the service framework.
#include <cstdio>
#include <cstring>

#include "server/core/server_app.h"

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-sa") == 0 || std::strcmp(argv[1], "/sa") == 0))
    return RunServer(true);
  std::fprintf(stderr, "The Quillnet NT Server must be started as an NT Service.\n");
  return 1;
}
