// The system log, standing in for the Windows event log: syslog(3) with the
// program's file name as identity and the process id in every line.
//
// When $TARVO_SYSLOG_SOCKET names a datagram socket, the lines go there
// instead, in the form syslog(3) sends to /dev/log ("<PRI>Mmm dd hh:mm:ss
// identity[pid]: text"); the tests read them from it.
#pragma once

#include <string>

namespace platform {

enum class EventType { Information, Warning, Success, Error };

// A registered event source. syslog keeps one identity per process; the
// last source opened gives it.
class SystemLog {
 public:
  explicit SystemLog(std::string identity);
  ~SystemLog();
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  // False when the event could not be handed over. syslog(3) reports no
  // failure (without a log daemon the line is dropped), so that path always
  // answers true; the socket path answers false when the send fails.
  bool report(EventType type, const std::string& message);
  const std::string& identity() const { return identity_; }

 private:
  std::string identity_;  // syslog keeps the pointer, so it lives here
  int socket_ = -1;         // connected to $TARVO_SYSLOG_SOCKET, kept between reports
  std::string socketPath_;  // the path it is connected to
};

} // namespace platform
