// The operating-system side of the stand-in service process: signals, the
// daemon start, the pid file and file identities.
#pragma once

#include <string>

namespace mgmt {

// What the file looks like (device, inode, size, change times); "" when it is missing.
std::string fileIdentity(const std::string& path);

// SIGTERM and SIGINT (stop) and SIGHUP (reload) arrive as readable events
// on a descriptor, so the server's loop sees them between requests.
class SignalInbox {
 public:
  enum Event { None, Stop, Reload };
  SignalInbox();
  ~SignalInbox();
  SignalInbox(const SignalInbox&) = delete;
  SignalInbox& operator=(const SignalInbox&) = delete;
  int fd() const { return fd_; }
  // The next pending signal, None when there is none.
  Event next();

 private:
  int fd_ = -1;
};

// Forks into the background (new session, working directory "/", standard
// streams on /dev/null). Returns in the daemon; the starting process stays
// until daemonReady() is called and exits 0, or exits 1 when the daemon ends
// before that.
void becomeDaemon();
void daemonReady();

bool writePidFile(const std::string& path, std::string& error);
int processId();
// Local time "YYYY-MM-DD HH:MM:SS.mmm".
std::string timestamp();

} // namespace mgmt
