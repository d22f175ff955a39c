#include "support/command_line.h"

#include <algorithm>
#include <string_view>

#include "platform/text.h"

namespace {

// Characters the command interpreter or the argument splitter gives a meaning.
constexpr std::string_view kSpecialCharacters = "\"&<>()[]{}^=;!'+,`~|";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool needsQuoting(const std::string& argument) {
  if (argument.empty()) return true;
  for (const char32_t cp : text::decodeUtf8(argument)) {
    if (text::isSpace(cp)) return true;
    if (cp < 0x80 && kSpecialCharacters.find(static_cast<char>(cp)) != std::string_view::npos) return true;
  }
  return false;
}

// Splits text from pos on by the argument rules and appends the tokens.
// Quotes are counted as CommandLineToArgvW counts them: an unescaped quote
// opens or closes a quoted run, and inside one a doubled quote yields a
// literal quote and ends the run.
void splitArguments(const std::string& text, size_t pos, std::vector<std::string>& out) {
  const size_t n = text.size();
  while (pos < n && isBlank(text[pos])) ++pos;
  if (pos == n) return;

  std::string current;
  int quotes = 0;          // 1 while inside a quoted run
  size_t backslashes = 0;  // length of the run of backslashes just copied
  while (pos < n) {
    const char c = text[pos];
    if (isBlank(c) && quotes == 0) {
      out.push_back(std::move(current));
      current.clear();
      backslashes = 0;
      while (pos < n && isBlank(text[pos])) ++pos;
      if (pos == n) return;
    } else if (c == '\\') {
      current.push_back(c);
      ++backslashes;
      ++pos;
    } else if (c == '"') {
      if (backslashes % 2 == 0) {
        current.resize(current.size() - backslashes / 2);
        ++quotes;
      } else {
        current.resize(current.size() - backslashes / 2 - 1);
        current.push_back('"');
      }
      ++pos;
      backslashes = 0;
      while (pos < n && text[pos] == '"') {
        if (++quotes == 3) {
          current.push_back('"');
          quotes = 0;
        }
        ++pos;
      }
      if (quotes == 2) quotes = 0;
    } else {
      current.push_back(c);
      backslashes = 0;
      ++pos;
    }
  }
  out.push_back(std::move(current));
}

std::string trimBlanks(const std::string& s) {
  auto space = [](char c) { return static_cast<unsigned char>(c) < 0x80 && text::isSpace(static_cast<unsigned char>(c)); };
  size_t b = 0, e = s.size();
  while (b < e && space(s[b])) ++b;
  while (e > b && space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool isPasswordKey(const std::string& key) {
  return key.find("password") != std::string::npos || key.find("pwd") != std::string::npos;
}

} // namespace

std::string quoteCommandArgument(const std::string& argument) {
  if (!needsQuoting(argument)) return argument;

  // Built from the last character to the first: a run of backslashes standing
  // before a double quote or before the closing quote is doubled.
  std::string reversed;
  reversed.reserve(argument.size() + 8);
  bool beforeQuoteOrEnd = true;
  for (auto it = argument.rbegin(); it != argument.rend(); ++it) {
    const char c = *it;
    reversed.push_back(c);
    if (c == '"' || (c == '\\' && beforeQuoteOrEnd)) {
      reversed.push_back('\\');
      beforeQuoteOrEnd = true;
    } else {
      beforeQuoteOrEnd = false;
    }
  }
  std::string quoted;
  quoted.reserve(reversed.size() + 2);
  quoted.push_back('"');
  quoted.append(reversed.rbegin(), reversed.rend());
  quoted.push_back('"');
  return quoted;
}

std::string joinCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line.push_back(' ');
    line += quoteCommandArgument(arguments[i]);
  }
  return line;
}

std::vector<std::string> splitCommandLine(const std::string& commandLine) {
  std::vector<std::string> out;
  splitArguments(commandLine, 0, out);
  return out;
}

std::vector<std::string> splitProgramCommandLine(const std::string& commandLine) {
  std::vector<std::string> out;
  if (commandLine.empty()) return out;
  size_t pos = 0;
  if (commandLine[0] == '"') {
    // The program name ends at the next double quote, whatever stands before it.
    const size_t close = commandLine.find('"', 1);
    if (close == std::string::npos) {
      out.push_back(commandLine.substr(1));
      return out;
    }
    out.push_back(commandLine.substr(1, close - 1));
    pos = close + 1;
  } else {
    while (pos < commandLine.size() && !isBlank(commandLine[pos])) ++pos;
    out.push_back(commandLine.substr(0, pos));
  }
  splitArguments(commandLine, pos, out);
  return out;
}

std::string maskPasswords(const std::string& arguments) {
  std::vector<std::string> parts = splitCommandLine(arguments);
  for (std::string& argument : parts) {
    const size_t firstEquals = argument.find('=');
    if (firstEquals == std::string::npos) continue;
    const std::string key = argument.substr(0, firstEquals);
    if (!isPasswordKey(key)) continue;
    const size_t values = static_cast<size_t>(std::count(argument.begin(), argument.end(), '='));
    std::string masked = key;
    for (size_t i = 0; i < values; ++i) masked += "=*";
    argument = std::move(masked);
  }
  return trimBlanks(joinCommandLine(parts));
}
