// The client-version reader lives with the client transport, which these
// tests do not link; a weak stand-in satisfies the program-directory helpers
// and gives way to the real one wherever that is linked.
#include <string>

__attribute__((weak)) float ReadClientProgramVersion(const std::string&) { return 0.0f; }
