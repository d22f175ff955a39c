// Starting external programs: the command line is composed as on Windows
// ("\"application\" arguments") and split into argv by the Windows rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Runs the program and returns its output (standard error merged into it),
// or "" when the output goes to stdoutFile. With exitCode given, waits for the
// program and stores its exit code. With throwOnError clear, a failure gives "".
std::string execExtUtil(const std::string& application, const std::string& arguments, bool throwOnError,
                        uint32_t* exitCode, const std::string& stdinFile = {}, const std::string& stdoutFile = {});
// execExtUtil that waits and raises "Execute <app> <masked args> failed[<code>]: <output>"
// when the exit code is not 0.
void execExtUtilChecked(const std::string& application, const std::string& arguments, std::string& output);
