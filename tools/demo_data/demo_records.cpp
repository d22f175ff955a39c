#include "tools/demo_data/demo_records.h"

#include <chrono>
#include <cstdio>

namespace demo {

namespace {

const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kWeekdayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

template <typename... Args>
std::string printed(const char* format, Args... args) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

std::string orDash(const std::string& value) { return value.empty() ? "-" : value; }

} // namespace

std::uint64_t Random::next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t Random::below(std::uint64_t bound) { return next() % bound; }

std::int64_t Random::between(std::int64_t low, std::int64_t high) {
  return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low) + 1));
}

bool Random::chance(double probability) {
  return static_cast<double>(next() >> 11) * 0x1.0p-53 < probability;
}

std::uint64_t mixSeed(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d) {
  Random r(a);
  std::uint64_t h = r.next();
  for (std::uint64_t part : {b, c, d}) {
    Random step(h ^ (part * 0x2545f4914f6cdd1dULL));
    h = step.next();
  }
  return h;
}

CivilTime toCivil(UnixTime t) {
  using namespace std::chrono;
  const sys_seconds at{seconds{t}};
  const sys_days day = floor<days>(at);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> clock{at - day};
  return CivilTime{int(ymd.year()),
                   int(unsigned(ymd.month())),
                   int(unsigned(ymd.day())),
                   int(clock.hours().count()),
                   int(clock.minutes().count()),
                   int(clock.seconds().count()),
                   int(weekday{day}.c_encoding())};
}

UnixTime fromCivilDay(int year, int month, int day) {
  using namespace std::chrono;
  const sys_days d{std::chrono::year{year} / std::chrono::month(unsigned(month)) /
                   std::chrono::day(unsigned(day))};
  return duration_cast<seconds>(d.time_since_epoch()).count();
}

bool parseDay(const std::string& text, UnixTime& midnight) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3)
    return false;
  const std::chrono::year_month_day ymd{std::chrono::year{y} / std::chrono::month(unsigned(m)) /
                                        std::chrono::day(unsigned(d))};
  if (!ymd.ok()) return false;
  midnight = fromCivilDay(y, m, d);
  return true;
}

std::string formatDay(UnixTime t) {
  const CivilTime c = toCivil(t);
  return printed("%04d-%02d-%02d", c.year, c.month, c.day);
}

std::string formatDayCompact(UnixTime t) {
  const CivilTime c = toCivil(t);
  return printed("%04d%02d%02d", c.year, c.month, c.day);
}

std::string sortKey(UnixTime t) {
  const CivilTime c = toCivil(t);
  return printed("%04d%02d%02d%02d%02d%02d ", c.year, c.month, c.day, c.hour, c.minute, c.second);
}

std::string formatClf(const WebHit& hit) {
  const CivilTime c = toCivil(hit.time);
  std::string request = hit.method + " " + hit.path;
  if (!hit.query.empty()) request += "?" + hit.query;
  request += " HTTP/1.1";
  // A response without a body is logged as "-", as Apache's %b does.
  const std::string bytes = hit.bytes > 0 ? std::to_string(hit.bytes) : "-";
  return hit.clientIp + " - " + orDash(hit.user) + " " +
         printed("[%02d/%s/%04d:%02d:%02d:%02d +0000]", c.day, kMonthNames[c.month - 1], c.year,
                 c.hour, c.minute, c.second) +
         " \"" + request + "\" " + std::to_string(hit.status) + " " + bytes + " \"" +
         orDash(hit.referer) + "\" \"" + orDash(hit.agent) + "\"";
}

std::string formatXferlog(const FtpTransfer& t) {
  const CivilTime c = toCivil(t.time);
  return printed("%s %s %2d %02d:%02d:%02d %04d", kWeekdayNames[c.weekday], kMonthNames[c.month - 1],
                 c.day, c.hour, c.minute, c.second, c.year) +
         " " + std::to_string(t.seconds) + " " + t.clientIp + " " + std::to_string(t.bytes) + " " +
         t.path + " b _ " + (t.upload ? "i" : "o") + " " + (t.anonymous ? "a" : "r") + " " +
         t.user + " ftp 0 * c";
}

std::string w3cField(const std::string& value) {
  if (value.empty()) return "-";
  std::string out = value;
  for (char& ch : out)
    if (ch == ' ') ch = '+';
  return out;
}

namespace {

std::string w3cDateTime(UnixTime time) {
  const CivilTime c = toCivil(time);
  return printed("%04d-%02d-%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour, c.minute, c.second);
}

} // namespace

std::string formatW3cWeb(const WebHit& hit, const ServerIdentity& server) {
  return w3cDateTime(hit.time) + " " + server.siteName + " " + server.computerName + " " +
         server.ip + " " + hit.method + " " + w3cField(hit.path) + " " + w3cField(hit.query) + " " +
         std::to_string(hit.serverPort) + " " + w3cField(hit.user) + " " + hit.clientIp +
         " HTTP/1.1 " + w3cField(hit.agent) + " - " + w3cField(hit.referer) + " " +
         w3cField(hit.host) + " " + std::to_string(hit.status) + " 0 0 " +
         std::to_string(hit.bytes) + " " + std::to_string(hit.requestBytes) + " " +
         std::to_string(hit.timeTakenMs);
}

std::string formatW3cFtp(const FtpTransfer& t, const ServerIdentity& server) {
  // The FTP service logs the command as the method and the file as the stem;
  // it has no protocol version, agent, cookie or referrer.
  const std::string method = t.upload ? "STOR" : "RETR";
  const std::string user = t.anonymous ? "anonymous" : t.user;
  return w3cDateTime(t.time) + " " + server.siteName + " " + server.computerName + " " +
         server.ip + " " + method + " " + w3cField(t.path) + " - 21 " + w3cField(user) + " " +
         t.clientIp + " - - - - " + w3cField(t.host) + " 226 0 0 " +
         std::to_string(t.upload ? 0 : t.bytes) + " " + std::to_string(t.upload ? t.bytes : 0) +
         " " + std::to_string(t.seconds * 1000);
}

} // namespace demo
