// A failure reported by the XML library (it stands where COM errors stood).
#pragma once

#include <string>

class XmlError {
 public:
  explicit XmlError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};
