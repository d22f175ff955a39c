// What one log entry costs: an Error entry (daily log file, system log and
// console) against a bare open + append + close of the same bytes, side by
// side, and an Info entry suppressed because debugging is off.
//
// Targets: a suppressed Info entry under 2 microseconds; a written entry in
// the daily file no more than 3 times the bare append. The Error entry's
// other two outputs are printed beside it: the system-log datagram wakes the
// logger's reader on every entry, a cost no file append can be held to.
//
// Usage: logging_bench [ENTRIES]   (default 20000)
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/text.h"
#include "support/logging.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double microsecondsPer(Clock::duration d, int n) { return std::chrono::duration<double, std::micro>(d).count() / n; }

// A datagram socket standing in for the system logger, drained on a thread
// so that the sender never finds the queue full.
class SyslogSink {
 public:
  explicit SyslogSink(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::perror("syslog sink");
      std::exit(1);
    }
    timeval timeout{0, 20000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    drainer_ = std::thread([this] {
      char buffer[8192];
      while (!stop_) {
        if (::recv(fd_, buffer, sizeof buffer, 0) > 0) ++received_;
      }
    });
  }
  ~SyslogSink() {
    stop_ = true;
    drainer_.join();
    ::close(fd_);
  }
  long received() const { return received_; }

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<long> received_{0};
  std::thread drainer_;
};

// Standard output to /dev/null while the entries are written.
class ConsoleMuted {
 public:
  ConsoleMuted() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
  }
  ~ConsoleMuted() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_ = -1;
};

void writeRegistry(const fs::path& file, const fs::path& product) {
  std::ofstream(file, std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvo\\ZUL Config\\Config]\r\n"
      << "\"PRODUCT_ROOT_D\"=\"" << product.string() << "\"\r\n\"Debug\"=dword:00000000\r\n";
}

} // namespace

int main(int argc, char** argv) {
  const int entries = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvo-logging-bench-XXXXXX";
  if (!::mkdtemp(templ.data())) return 1;
  const fs::path root = templ;
  fs::create_directories(root / "product/admin/logs");
  fs::create_directories(root / "locks");
  writeRegistry(root / "registry.reg", root / "product");
  ::setenv("TARVO_REGISTRY", (root / "registry.reg").c_str(), 1);
  ::setenv("TARVO_LOCK_DIR", (root / "locks").c_str(), 1);
  ::setenv("TARVO_SYSLOG_SOCKET", (root / "syslog.sock").c_str(), 1);
  long syslogLines = 0;
  {
    SyslogSink sink((root / "syslog.sock").string());
    LogManager& log = LogManager::instance();
    const std::string text = "Unable to open file '/var/www/vhosts/ws1/logs/iis/web_20261205.log'";

    // Suppressed: debugging is off, so an Info entry goes nowhere.
    const auto infoStart = Clock::now();
    for (int i = 0; i < entries * 10; ++i) log.log(Info, "Processing log file %d", i);
    const double info = microsecondsPer(Clock::now() - infoStart, entries * 10);

    // Written: Error entries to the daily file, the system log and the console.
    double error = 0;
    {
      ConsoleMuted muted;
      log.log(Error, "%s", text);  // the first registers the event source
      const auto start = Clock::now();
      for (int i = 0; i < entries; ++i) log.log(Error, "%s", text);
      error = microsecondsPer(Clock::now() - start, entries);
    }

    // The daily-file part of it alone: switches, lock, append.
    const auto fileStart = Clock::now();
    for (int i = 0; i < entries; ++i) writeLogChannelEntry("debug", 1, "Error: " + text);
    const double fileOnly = microsecondsPer(Clock::now() - fileStart, entries);

    // The same bytes appended by hand: open, append, close, nothing else.
    const std::string entry =
        text::toUtf16le("2026/12/06 12:00:00.000 4711 4711 Error: " + text + "\r\n");
    const std::string bare = (root / "bare.log").string();
    const auto bareStart = Clock::now();
    for (int i = 0; i < entries; ++i) {
      const int fd = ::open(bare.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (fd < 0 || ::write(fd, entry.data(), entry.size()) != static_cast<ssize_t>(entry.size())) return 1;
      ::close(fd);
    }
    const double append = microsecondsPer(Clock::now() - bareStart, entries);

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    syslogLines = sink.received();
    std::printf("log entries, %d written, %d suppressed\n", entries, entries * 10);
    std::printf("%-44s %10.3f us\n", "Info entry, debugging off (suppressed)", info);
    std::printf("%-44s %10.3f us\n", "Error entry (file + system log + console)", error);
    std::printf("%-44s %10.3f us\n", "  of it the daily file alone", fileOnly);
    std::printf("%-44s %10.3f us\n", "  of it the system log and the console", error - fileOnly);
    std::printf("%-44s %10.3f us\n", "bare open + append + close, same bytes", append);
    std::printf("written entry (daily file) / bare append: %.2fx (target <= 3x)\n", fileOnly / append);
    std::printf("whole Error entry / bare append: %.2fx\n", error / append);
    std::printf("suppressed Info: target < 2 us\n");
    std::printf("system log lines received: %ld of %d\n", syslogLines, entries + 1);
    std::printf("%s\n", info < 2.0 && fileOnly <= 3 * append ? "targets met" : "TARGETS MISSED");
  }
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
