// qnguard: the guardian. Installs itself, carries out the service verbs on
// "QuillnetGuardian", or runs its watchdog: as a service when started by the
// service control stand-in, stand-alone with "-sa" or "/sa".
#include <string>
#include <vector>

#include "common/command_line.h"
#include "guardian/guardian_service.h"

CGuardianApp theApp;

int main(int argc, char** argv) {
  return theApp.Run(JoinCommandLine(std::vector<std::string>(argv + 1, argv + argc)));
}
