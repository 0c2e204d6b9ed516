// Small helpers shared by the server's parts: the program directory, SQL
// literals, date conversions and the current client program version.
#pragma once
#include <ctime>
#include <string>
#include <string_view>

// The program directory (databases, logs, member files) with its trailing
// separator: $QN_ROOT/var/lib/quillnet/.
std::string GetProgramDirectory();

// The text in single quotes, each inner single quote doubled.
std::string SQLQuote(std::string_view text);

// {ts 'YYYY-MM-DD HH:MM:SS'} in local time.
std::string FormatODBCTimestamp(std::time_t time);

// TRUE (1) is "-1" for the per-area files ("ODBCType" "MSAccess", the
// default, without regard to case) and "1" for the one database; any other
// flag "0". Reads "ODBCType" on every call.
std::string SQLBoolLiteral(int flag);

// An automation DATE given as decimal text to a time, through the two-second
// DOS date/time format. False for 0, for text that is not a number, and for
// a date that format cannot hold.
bool DateStringToCTime(const std::string& text, std::time_t& out);

// The version of the current client program "QUILLNET.EXE" in the program
// directory (its name without regard to case), from the Comments text of its
// version resource (the number after the first "V"); 0 when it cannot be
// read. Read once per process and program directory.
float GetClientProgramVersion();

// The same from any program file, without keeping the result.
float ReadClientProgramVersion(const std::string& path);
