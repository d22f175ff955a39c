// Command lines as Windows composes and splits them. quoteCommandArgument and
// splitCommandLine are exact inverses: splitting the quoted text of any
// argument gives that argument back.
#pragma once

#include <string>
#include <vector>

// Quotes an argument for a command line (always when it is empty or holds a
// blank, a tab, a double quote or one of the special characters).
std::string quoteCommandArgument(const std::string& argument);
// Splits a command line into arguments by the CommandLineToArgvW rules.
std::vector<std::string> splitCommandLine(const std::string& commandLine);
// Arguments of the form key=value whose key contains "password" or "pwd"
// have each value replaced by "*".
std::string maskPasswords(const std::string& arguments);
