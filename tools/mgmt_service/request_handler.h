// Turns one request body into its answer body: getString and componentInfo
// are answered from the settings file; anything else gets the error marker
// followed by a text that says what was wrong.
#pragma once

#include <string>

#include "tools/mgmt_service/settings_file.h"

namespace mgmt {

struct Answer {
  std::string body;
  bool failed = false;   // the body is an error marker and its text
  std::string text;      // the error text, for the service's log
};

Answer answerRequest(const std::string& body, SettingsFile& settings);
// An error answer with the text.
Answer errorAnswer(const std::string& text);

} // namespace mgmt
