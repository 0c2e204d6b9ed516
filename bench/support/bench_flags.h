// The benches' command lines: "--flag value" pairs read into the bench's
// own variables, which hold their defaults until a flag sets them. Header
// only, so that benches outside the load generators' library use it too.
#pragma once
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <variant>

namespace qn::bench {

struct Flag {
  const char* name;
  std::variant<int*, long*, std::string*> value;
};

namespace detail {

inline bool ReadNumber(const char* text, long& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

[[noreturn]] inline void Usage(const char* program, std::initializer_list<Flag> flags) {
  const char* slash = std::strrchr(program, '/');
  std::string line = "usage: ";
  line += slash != nullptr ? slash + 1 : program;
  for (const Flag& f : flags)
    line += std::string(" [") + f.name + (std::holds_alternative<std::string*>(f.value) ? " TEXT]" : " N]");
  std::fprintf(stderr, "%s\n", line.c_str());
  std::exit(2);
}

}  // namespace detail

// Sets the variable of each flag given. An unknown flag, a flag without its
// value or a value that is not a whole number in range prints the usage and exits with 2.
inline void ReadFlags(int argc, char** argv, std::initializer_list<Flag> flags) {
  for (int i = 1; i < argc; i += 2) {
    const Flag* flag = nullptr;
    for (const Flag& f : flags)
      if (std::strcmp(argv[i], f.name) == 0) flag = &f;
    if (flag == nullptr || i + 1 >= argc) detail::Usage(argv[0], flags);
    const char* text = argv[i + 1];
    long number = 0;
    if (std::string* const* s = std::get_if<std::string*>(&flag->value)) {
      **s = text;
    } else if (!detail::ReadNumber(text, number)) {
      detail::Usage(argv[0], flags);
    } else if (long* const* l = std::get_if<long*>(&flag->value)) {
      **l = number;
    } else if (number < INT_MIN || number > INT_MAX) {
      detail::Usage(argv[0], flags);
    } else {
      *std::get<int*>(flag->value) = static_cast<int>(number);
    }
  }
}

}  // namespace qn::bench
