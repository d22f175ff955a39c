// Log records of the demo hosting tree and the line formats the two
// statistics engines read.
//
// Webalizer chunks carry a 15-byte sort key in front of every record:
// "YYYYMMDDhhmmss " (the UTC time of the record, 14 digits and a blank), so
// that a bytewise sort of the chunk puts the records in time order; the
// record after it is Combined Log Format for web chunks and xferlog for FTP
// chunks. AWStats logs are W3C extended lines with the 22 fields that the
// AWStats configuration declares, sorted as whole lines.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>

namespace demo {

// Seconds since 1970-01-01 00:00:00 UTC.
using UnixTime = std::int64_t;

// A small deterministic generator (splitmix64): the same seed gives the same
// tree on every machine and with every standard library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // Uniform in [0, bound); bound > 0.
  std::uint64_t below(std::uint64_t bound);
  // Uniform in [low, high].
  std::int64_t between(std::int64_t low, std::int64_t high);
  // True with the given probability (0..1).
  bool chance(double probability);
  template <typename Array>
  const auto& pick(const Array& items) {
    return items[below(std::size(items))];
  }

 private:
  std::uint64_t state_;
};

// Mixes several numbers into one seed, so that every (tree seed, domain, day,
// kind) has its own independent stream.
std::uint64_t mixSeed(std::uint64_t a, std::uint64_t b, std::uint64_t c = 0, std::uint64_t d = 0);

struct CivilTime {
  int year, month, day, hour, minute, second;
  int weekday;  // 0 = Sunday
};
CivilTime toCivil(UnixTime t);
// Midnight UTC of the given calendar day.
UnixTime fromCivilDay(int year, int month, int day);
// "YYYY-MM-DD" -> midnight UTC of that day; false when the text is no date.
bool parseDay(const std::string& text, UnixTime& midnight);
std::string formatDay(UnixTime t);          // "YYYY-MM-DD"
std::string formatDayCompact(UnixTime t);   // "YYYYMMDD", as in log file names

// One request to a web site.
struct WebHit {
  UnixTime time = 0;
  std::string clientIp;
  std::string user;      // empty: anonymous
  std::string method;    // GET, POST, HEAD
  std::string path;      // without query
  std::string query;     // without "?", empty when none
  int status = 200;
  std::int64_t bytes = 0;
  std::int64_t requestBytes = 0;
  int timeTakenMs = 0;
  std::string referer;   // empty: none
  std::string agent;     // empty: none
  std::string host;      // the host name the client asked for
  int serverPort = 80;
};

// One file transfer of an FTP server.
struct FtpTransfer {
  UnixTime time = 0;
  std::string clientIp;
  std::string user;      // the login; for anonymous sessions the e-mail given as password
  bool anonymous = false;
  bool upload = false;
  std::string path;
  std::int64_t bytes = 0;
  int seconds = 1;       // transfer time
  std::string host;      // the site the server answers for
};

// The server that wrote the logs, as it appears in W3C lines.
struct ServerIdentity {
  std::string siteName;      // s-sitename, e.g. W3SVC3
  std::string computerName;  // s-computername
  std::string ip;            // s-ip
};

// "YYYYMMDDhhmmss " : the sort key of a Webalizer chunk line.
std::string sortKey(UnixTime t);
constexpr std::size_t kSortKeyLength = 15;

// Combined Log Format: host ident user [time] "request" status bytes "referer" "agent".
std::string formatClf(const WebHit& hit);
// wu-ftpd xferlog: current-time transfer-time host size file type action
// direction access-mode user service auth-method auth-user status.
std::string formatXferlog(const FtpTransfer& t);
// The 22 W3C fields: date time s-sitename s-computername s-ip cs-method
// cs-uri-stem cs-uri-query s-port cs-username c-ip cs-version cs(User-Agent)
// cs(Cookie) cs(Referer) cs-host sc-status sc-substatus sc-win32-status
// sc-bytes cs-bytes time-taken.
std::string formatW3cWeb(const WebHit& hit, const ServerIdentity& server);
std::string formatW3cFtp(const FtpTransfer& t, const ServerIdentity& server);
constexpr int kW3cFieldCount = 22;

// A W3C field value: "-" for empty, blanks as "+" (as IIS writes agents).
std::string w3cField(const std::string& value);

} // namespace demo
