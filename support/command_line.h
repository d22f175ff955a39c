// Command lines as Windows composes and splits them. quoteCommandArgument and
// splitCommandLine are exact inverses: splitting the quoted text of any
// argument gives that argument back.
//
// Two splitting forms exist because Windows treats the first token of a whole
// command line differently: the program name ends at the next blank (or, when
// it begins with a double quote, at the next double quote) and knows no
// backslash escapes. splitCommandLine reads an argument string, where every
// token follows the argument rules; splitProgramCommandLine reads a whole
// command line whose first token is the program.
#pragma once

#include <string>
#include <vector>

// Quotes an argument for a command line (always when it is empty or holds a
// white-space character, a double quote or one of "&<>()[]{}^=;!'+,`~|").
std::string quoteCommandArgument(const std::string& argument);
// The arguments quoted one by one and joined with single spaces.
std::string joinCommandLine(const std::vector<std::string>& arguments);
// Splits an argument string by the CommandLineToArgvW rules for arguments:
// blanks and tabs separate; 2n backslashes and a double quote give n
// backslashes and toggle quoting; 2n+1 backslashes and a double quote give n
// backslashes and a literal double quote; other backslashes are literal.
std::vector<std::string> splitCommandLine(const std::string& commandLine);
// Splits a whole command line: the first token by the program-name rule, the
// rest as splitCommandLine does. An empty text gives no tokens.
std::vector<std::string> splitProgramCommandLine(const std::string& commandLine);
// Arguments of the form key=value whose key contains "password" or "pwd"
// have each value replaced by "*"; the arguments are quoted again and joined.
std::string maskPasswords(const std::string& arguments);
