// qnman32: the server manager. No command-line options.
#include "tools/manager/qt/manager_app.h"

int main(int argc, char** argv) { return qn::manager::RunManager(argc, argv); }
