// Reading the program's command line the way the start-up code expects it:
// one text (the arguments joined by blanks) read token by token.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// The command line as one text: the arguments after the program name joined
// by single blanks; an argument holding a blank is put in double quotes.
std::string JoinCommandLine(const std::vector<std::string>& args);

// Copies the next token at `cursor` into `token` (when given): the characters
// up to a blank outside double quotes or the end, scanning at most
// `bufferSize` characters; double quotes switch quoting and are not copied.
// Then skips the blanks that follow. Returns the number of characters copied,
// or -1 when a quote was left open. `cursor` is left after what was read.
int GetCommandLineToken(const char*& cursor, size_t bufferSize, std::string* token);
