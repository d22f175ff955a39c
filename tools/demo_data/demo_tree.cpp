#include "tools/demo_data/demo_tree.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace demo {

const char* engineName(Engine engine) { return engine == Engine::AWStats ? "awstats" : "webalizer"; }

const char* kindPrefix(Kind kind) {
  switch (kind) {
    case Kind::Web: return "web";
    case Kind::AnonymousFtp: return "ano";
    case Kind::Ftp: return "ftp";
  }
  return "";
}

const char* kindStatSubdir(Kind kind) {
  switch (kind) {
    case Kind::Web: return "webstat";
    case Kind::AnonymousFtp: return "anon_ftpstat";
    case Kind::Ftp: return "ftpstat";
  }
  return "";
}

const std::vector<DemoDomain>& demoDomains() {
  // Two domains share ws-alpha and two ws-gamma, so their configuration files
  // live in subdirectories of logs/iis (one of them two levels down); ws-beta
  // holds a single domain whose configuration lies in logs/iis itself.
  static const std::vector<DemoDomain> domains = {
      {"ws-alpha", "alpha-books.example", Engine::AWStats, "alpha-books.example",
       {"fiction", "science", "history", "children"},
       {"novel", "atlas", "poetry", "biography", "mystery", "cookbook", "physics", "travel"}, 1.0},
      {"ws-alpha", "alpha-blog.example", Engine::Webalizer, "alpha-blog.example",
       {"2026", "travel", "recipes", "notes"},
       {"mountains", "coffee", "bread", "trains", "garden", "lakes", "winter", "market"}, 0.7},
      {"ws-beta", "beta-shop.example", Engine::AWStats, "",
       {"products", "offers", "support", "brands"},
       {"kettle", "lamp", "chair", "blanket", "teapot", "desk", "shelf", "mug"}, 1.3},
      {"ws-gamma", "gamma-news.example", Engine::Webalizer, "gamma-news.example",
       {"world", "local", "sport", "culture", "weather"},
       {"election", "harbour", "festival", "storm", "league", "museum", "bridge", "council"}, 1.1},
      {"ws-gamma", "gamma-photos.example", Engine::AWStats, "sites/gamma-photos.example",
       {"gallery", "albums", "prints", "workshops"},
       {"sunset", "portrait", "street", "forest", "harbour", "macro", "night", "coast"}, 0.6},
  };
  return domains;
}

std::string configDir(const std::string& vhostsRoot, const DemoDomain& domain) {
  fs::path dir = fs::path(vhostsRoot) / domain.webspace / "logs" / "iis";
  if (!domain.configSubdir.empty()) dir /= domain.configSubdir;
  return dir.string();
}

std::string statisticsDir(const std::string& vhostsRoot, const DemoDomain& domain) {
  return (fs::path(vhostsRoot) / domain.webspace / ".tarvo" / "statistics" / domain.name).string();
}

std::string logFileName(Kind kind, UnixTime day) {
  return std::string(kindPrefix(kind)) + "_" + formatDayCompact(day) + ".log";
}

std::string stateFilePath(const std::string& vhostsRoot) {
  return (fs::path(vhostsRoot) / "demo-data.state").string();
}

std::string configXml(const DemoDomain& domain) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<config>\n"
         "  <domain name=\"" + domain.name + "\" webspaceName=\"" + domain.webspace +
         "\" default_doc=\"index.html index.htm\">\n"
         "    <alias name=\"www." + domain.name + "\"/>\n"
         "    <webstat type=\"" + engineName(domain.engine) + "\"/>\n"
         "  </domain>\n"
         "</config>\n";
}

namespace {

constexpr UnixTime kDay = 86400;

const char* const kBrowsers[] = {
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/130.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:133.0) Gecko/20100101 Firefox/133.0",
    "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0",
    "Mozilla/5.0 (iPhone; CPU iPhone OS 18_1 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/18.1 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 14_6) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/18.0 Safari/605.1.15",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36 Edg/131.0.0.0",
    "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Mobile Safari/537.36",
    "Mozilla/5.0 (iPad; CPU OS 17_7 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.7 Mobile/15E148 Safari/604.1",
    "Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; Trident/5.0)",
    "curl/8.5.0",
    "Wget/1.21.3",
};

struct Bot {
  const char* agent;
  const char* network;  // first three octets
};
const Bot kBots[] = {
    {"Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", "66.249.66"},
    {"Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)", "157.55.39"},
    {"Mozilla/5.0 (compatible; YandexBot/3.0; +http://yandex.com/bots)", "5.255.253"},
    {"Mozilla/5.0 (compatible; DuckDuckBot-Https/1.1; https://duckduckgo.com/duckduckbot)", "20.191.45"},
};

const char* const kSearchReferers[] = {
    "https://www.google.com/search?q=", "https://www.bing.com/search?q=",
    "https://duckduckgo.com/?q=", "https://search.yahoo.com/search?p=",
    "https://www.google.de/search?q=",
};
const char* const kSiteReferers[] = {
    "https://news.ycombinator.com/item?id=4213377", "https://www.reddit.com/r/travel/comments/1h2x9k/",
    "https://www.facebook.com/", "https://t.co/x7Qp2Lm", "https://forum.example.org/thread/311",
    "https://www.linkedin.com/feed/",
};
const char* const kFirstOctets[] = {"31", "46", "62", "77", "78", "81", "84", "88", "91", "93",
                                    "95", "109", "151", "176", "178", "185", "188", "194", "212", "217"};
const char* const kProbes[] = {"/wp-login.php", "/.env", "/xmlrpc.php", "/phpmyadmin/", "/old/index.php"};
const char* const kPubFiles[] = {"/pub/catalog-2026.pdf", "/pub/brochure.pdf", "/pub/price-list.xlsx",
                                 "/pub/samples.zip", "/pub/readme.txt", "/pub/tools/setup-3.2.1.tar.gz",
                                 "/pub/maps/region-north.pdf"};
const char* const kAnonymousMails[] = {"guest@", "anonymous@", "mozilla@example.com", "ftp@example.net",
                                       "user@example.org"};
// Visitors by hour of day (UTC): quiet nights, busy afternoons and evenings.
const int kHourWeights[24] = {2, 1, 1, 1, 1, 2, 3, 5, 7, 8, 9, 9, 10, 10, 10, 9, 9, 9, 10, 11, 10, 8, 5, 3};

struct Visitor {
  std::string ip;
  std::string agent;
};

struct Site {
  std::vector<std::string> pages;
  std::vector<std::string> images;
  std::vector<Visitor> visitors;
};

std::string randomIp(Random& r) {
  return std::string(r.pick(kFirstOctets)) + "." + std::to_string(r.between(1, 254)) + "." +
         std::to_string(r.between(0, 255)) + "." + std::to_string(r.between(1, 254));
}

// The pages, pictures and regular visitors of a site stay the same from day to day.
Site makeSite(const TreeSettings& settings, std::size_t domainIndex) {
  const DemoDomain& d = demoDomains()[domainIndex];
  Random r(mixSeed(settings.seed, domainIndex, 0x517e));
  Site site;
  site.pages = {"/", "/index.html", "/about.html", "/contact.html"};
  for (const std::string& section : d.sections) {
    site.pages.push_back("/" + section + "/");
    for (int i = 0; i < 6; ++i)
      site.pages.push_back("/" + section + "/" + r.pick(d.words) + "-" + r.pick(d.words) + "-" +
                           std::to_string(r.between(2, 400)) + ".html");
  }
  for (int i = 0; i < 20; ++i)
    site.images.push_back("/images/" + r.pick(d.words) + "-" + std::to_string(i + 1) + ".jpg");
  for (int i = 0; i < 300; ++i) site.visitors.push_back({randomIp(r), r.pick(kBrowsers)});
  return site;
}

UnixTime sessionStart(Random& r, UnixTime day) {
  int total = 0;
  for (int w : kHourWeights) total += w;
  int x = int(r.below(std::uint64_t(total)));
  int hour = 0;
  while (x >= kHourWeights[hour]) x -= kHourWeights[hour++];
  return day + hour * 3600 + r.between(0, 3599);
}

std::string keyphrase(Random& r, const DemoDomain& d) {
  std::string phrase = r.pick(d.words);
  if (r.chance(0.7)) phrase += std::string("+") + r.pick(d.words);
  if (r.chance(0.3)) phrase += "+" + d.sections[r.below(d.sections.size())];
  return phrase;
}

std::string entryReferer(Random& r, const DemoDomain& d) {
  const double x = double(r.below(100)) / 100.0;
  if (x < 0.35) return "";
  if (x < 0.75) return std::string(r.pick(kSearchReferers)) + keyphrase(r, d);
  return r.pick(kSiteReferers);
}

class WebDay {
 public:
  WebDay(const TreeSettings& settings, std::size_t domainIndex, UnixTime day, Random& r)
      : d_(demoDomains()[domainIndex]), site_(makeSite(settings, domainIndex)), day_(day), r_(r) {}

  std::vector<WebHit> generate(std::size_t target) {
    while (hits_.size() < target) {
      if (r_.chance(0.12))
        botSession();
      else
        humanSession();
    }
    return std::move(hits_);
  }

 private:
  WebHit base(UnixTime t, const std::string& ip, const std::string& agent, const std::string& host) {
    WebHit h;
    h.time = std::min(t, day_ + kDay - 1);
    h.clientIp = ip;
    h.agent = agent;
    h.host = host;
    h.method = "GET";
    h.serverPort = r_.chance(0.7) ? 443 : 80;
    h.requestBytes = r_.between(280, 900);
    h.timeTakenMs = int(r_.between(8, 600));
    return h;
  }

  std::string url(const std::string& host, const std::string& path) { return "https://" + host + path; }

  void botSession() {
    const Bot& bot = r_.pick(kBots);
    const std::string ip = std::string(bot.network) + "." + std::to_string(r_.between(1, 254));
    const std::string host = r_.chance(0.5) ? "www." + d_.name : d_.name;
    UnixTime t = sessionStart(r_, day_);
    WebHit robots = base(t, ip, bot.agent, host);
    robots.path = "/robots.txt";
    robots.bytes = 68;
    hits_.push_back(robots);
    const int pages = int(r_.between(3, 15));
    for (int i = 0; i < pages; ++i) {
      t += r_.between(1, 40);
      WebHit h = base(t, ip, bot.agent, host);
      h.path = i == 0 && r_.chance(0.5) ? "/sitemap.xml" : site_.pages[r_.below(site_.pages.size())];
      h.status = r_.chance(0.05) ? 404 : 200;
      h.bytes = h.status == 200 ? r_.between(2500, 42000) : 1245;
      hits_.push_back(h);
    }
  }

  void humanSession() {
    const Visitor& v = site_.visitors[r_.below(site_.visitors.size())];
    const bool returning = r_.chance(0.3);
    const std::string host = r_.chance(0.6) ? "www." + d_.name : d_.name;
    UnixTime t = sessionStart(r_, day_);

    if (r_.chance(0.02)) {  // someone probing for well-known weaknesses
      for (const char* probe : kProbes) {
        WebHit h = base(t++, v.ip, "Mozilla/5.0 zgrab/0.x", host);
        h.path = probe;
        h.status = 404;
        h.bytes = 1245;
        hits_.push_back(h);
      }
      return;
    }

    if (r_.chance(0.03)) {  // an editor logs in to the site's back office
      WebHit challenge = base(t, v.ip, v.agent, host);
      challenge.path = "/admin/";
      challenge.status = 401;
      challenge.bytes = 381;
      hits_.push_back(challenge);
      for (const char* page : {"/admin/", "/admin/posts.html", "/admin/stats.html"}) {
        t += r_.between(2, 30);
        WebHit h = base(t, v.ip, v.agent, host);
        h.path = page;
        h.user = "editor";
        h.bytes = r_.between(3000, 15000);
        hits_.push_back(h);
      }
      return;
    }

    std::string page = r_.chance(0.3) ? "/" : site_.pages[r_.below(site_.pages.size())];
    std::string referer = entryReferer(r_, d_);
    int views = 1;
    while (views < 8 && r_.chance(0.55)) ++views;
    for (int view = 0; view < views; ++view) {
      WebHit h = base(t, v.ip, v.agent, host);
      h.referer = referer;
      if (view > 0 && r_.chance(0.1)) {
        h.path = "/search";
        h.query = "q=" + keyphrase(r_, d_);
        h.status = r_.chance(0.03) ? 500 : 200;
      } else if (view > 0 && page == "/contact.html" && r_.chance(0.3)) {
        h.method = "POST";
        h.path = page;
        h.status = 302;
        h.requestBytes = r_.between(1200, 4000);
      } else if (r_.chance(0.04)) {
        h.path = "/" + d_.sections[r_.below(d_.sections.size())] + "/old-" + r_.pick(d_.words) + ".html";
        h.status = 404;
      } else {
        h.path = page;
        h.status = returning && r_.chance(0.25) ? 304 : 200;
      }
      h.bytes = h.status == 200 ? r_.between(2500, 45000) : h.status == 304 ? 0 : r_.between(300, 1300);
      hits_.push_back(h);

      if (h.status == 200 || h.status == 304) assets(h, view == 0 && !returning);
      referer = url(host, h.path + (h.query.empty() ? "" : "?" + h.query));
      page = site_.pages[r_.below(site_.pages.size())];
      t += r_.between(5, 150);
    }
  }

  void assets(const WebHit& pageHit, bool firstVisit) {
    const std::string referer = url(pageHit.host, pageHit.path);
    auto asset = [&](const std::string& path, std::int64_t size, bool cached) {
      WebHit a = base(pageHit.time + r_.between(0, 2), pageHit.clientIp, pageHit.agent, pageHit.host);
      a.path = path;
      a.referer = referer;
      a.status = cached ? 304 : 200;
      a.bytes = cached ? 0 : size;
      a.timeTakenMs = int(r_.between(2, 80));
      hits_.push_back(a);
    };
    asset("/css/site.css", 18422, !firstVisit);
    asset("/js/site.js", 41877, !firstVisit);
    asset("/images/logo.png", 7311, !firstVisit);
    if (firstVisit) asset("/favicon.ico", 1150, false);
    const int pictures = int(r_.below(4));
    for (int i = 0; i < pictures; ++i)
      asset(site_.images[r_.below(site_.images.size())], r_.between(12000, 380000), false);
  }

  const DemoDomain& d_;
  Site site_;
  UnixTime day_;
  Random& r_;
  std::vector<WebHit> hits_;
};

std::vector<FtpTransfer> ftpDay(std::size_t domainIndex, UnixTime day, bool anonymous,
                                std::size_t target, Random& r) {
  const DemoDomain& d = demoDomains()[domainIndex];
  const std::string shortName = d.name.substr(0, d.name.find('.'));
  const std::string accounts[] = {"webmaster", "deploy", shortName + "-editor"};
  std::vector<FtpTransfer> out;
  while (out.size() < target) {
    FtpTransfer session;
    session.anonymous = anonymous;
    session.host = d.name;
    session.clientIp = randomIp(r);
    session.user = anonymous ? r.pick(kAnonymousMails) : r.pick(accounts);
    UnixTime t = sessionStart(r, day);
    const int transfers = anonymous ? int(r.between(1, 3)) : int(r.between(1, 12));
    for (int i = 0; i < transfers; ++i) {
      FtpTransfer x = session;
      if (anonymous) {
        x.upload = r.chance(0.05);
        x.path = x.upload ? "/incoming/upload-" + std::to_string(r.between(100, 999)) + ".zip"
                          : std::string(r.pick(kPubFiles));
        x.bytes = r.between(900, 25000000);
      } else {
        x.upload = r.chance(0.7);
        if (x.upload) {
          x.path = "/httpdocs/" + d.sections[r.below(d.sections.size())] + "/" + r.pick(d.words) +
                   (r.chance(0.5) ? ".html" : ".jpg");
          x.bytes = r.between(2000, 900000);
        } else {
          x.path = "/backups/" + shortName + "-" + formatDayCompact(day - kDay) + ".tar.gz";
          x.bytes = r.between(5000000, 90000000);
        }
      }
      x.time = std::min(t, day + kDay - 1);
      x.seconds = int(x.bytes / 400000) + 1;
      out.push_back(x);
      t += x.seconds + r.between(1, 20);
    }
  }
  return out;
}

// Two servers appending to one file now and then write neighbouring records
// out of order; the program sorts the chunks before the engines see them.
template <typename Record>
void settle(std::vector<Record>& records, Random& r) {
  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.time < b.time; });
  for (std::size_t i = 1; i < records.size(); ++i)
    if (r.chance(0.08)) std::swap(records[i - 1], records[i]);
}

ServerIdentity serverOf(std::size_t domainIndex, Kind kind) {
  const std::string n = std::to_string(domainIndex + 3);
  return {(kind == Kind::Web ? "W3SVC" : "MSFTPSVC") + n, "WEB0" + std::to_string(domainIndex % 2 + 1),
          "10.20.0." + n};
}

std::size_t targetCount(const TreeSettings& settings, const DemoDomain& d, Kind kind, UnixTime day,
                        Random& r) {
  const int weekday = toCivil(day).weekday;
  const double weekFactor = weekday == 0 || weekday == 6 ? 0.75 : 1.0;
  const double kindShare = kind == Kind::Web ? 1.0 : kind == Kind::Ftp ? 1.0 / 12 : 1.0 / 20;
  const double wobble = 0.85 + 0.3 * double(r.below(1000)) / 1000.0;
  const double n = settings.webRecordsPerDay * d.traffic * weekFactor * kindShare * wobble;
  return std::max<std::size_t>(1, std::size_t(n));
}

void writeLines(const fs::path& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  // The logs come from a Windows server: lines end in CR LF.
  for (const std::string& line : lines) out << line << "\r\n";
  out.close();
  if (!out) throw std::runtime_error("cannot write the log file " + path.string());
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

struct State {
  TreeSettings settings;
  UnixTime firstDay = 0;
  UnixTime lastDay = 0;
};

void writeState(const std::string& root, const State& s) {
  writeText(stateFilePath(root),
            "# Demo hosting tree laid out by tarvo-demo-data; --append-day reads it.\n"
            "seed=" + std::to_string(s.settings.seed) + "\n" +
            "records=" + std::to_string(s.settings.webRecordsPerDay) + "\n" +
            "first_day=" + formatDay(s.firstDay) + "\n" + "last_day=" + formatDay(s.lastDay) + "\n");
}

State readState(const std::string& root) {
  const std::string path = stateFilePath(root);
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("no demo tree under " + root + " (" + path +
                             " is missing); lay one out first (without --append-day or --counted)");
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  State s;
  try {
    s.settings.seed = std::stoull(values.at("seed"));
    s.settings.webRecordsPerDay = std::stoi(values.at("records"));
  } catch (const std::exception&) {
    throw std::runtime_error(path + " is damaged: it needs seed=, records=, first_day= and last_day=");
  }
  if (!parseDay(values["first_day"], s.firstDay) || !parseDay(values["last_day"], s.lastDay))
    throw std::runtime_error(path + " is damaged: first_day and last_day must be YYYY-MM-DD");
  return s;
}

void writeDay(const std::string& root, const TreeSettings& settings, UnixTime day, Counts& counts) {
  const auto& domains = demoDomains();
  for (std::size_t i = 0; i < domains.size(); ++i) {
    for (Kind kind : kAllKinds) {
      const std::vector<std::string> lines = dayLines(settings, i, kind, day);
      writeLines(fs::path(configDir(root, domains[i])) / logFileName(kind, day), lines);
      auto entry = std::find_if(counts.begin(), counts.end(), [&](const KindCount& c) {
        return c.domain == &domains[i] && c.kind == kind;
      });
      if (entry == counts.end()) entry = counts.insert(counts.end(), KindCount{&domains[i], kind});
      entry->files += 1;
      entry->records += std::int64_t(lines.size());
    }
  }
}

} // namespace

std::vector<std::string> dayLines(const TreeSettings& settings, std::size_t domainIndex, Kind kind,
                                  UnixTime day) {
  const DemoDomain& d = demoDomains()[domainIndex];
  Random r(mixSeed(settings.seed, domainIndex, std::uint64_t(day / kDay), std::uint64_t(kind) + 1));
  const std::size_t target = targetCount(settings, d, kind, day, r);
  const ServerIdentity server = serverOf(domainIndex, kind);
  std::vector<std::string> lines;
  if (kind == Kind::Web) {
    std::vector<WebHit> hits = WebDay(settings, domainIndex, day, r).generate(target);
    settle(hits, r);
    for (const WebHit& h : hits)
      lines.push_back(d.engine == Engine::Webalizer ? sortKey(h.time) + formatClf(h)
                                                    : formatW3cWeb(h, server));
  } else {
    std::vector<FtpTransfer> transfers = ftpDay(domainIndex, day, kind == Kind::AnonymousFtp, target, r);
    settle(transfers, r);
    for (const FtpTransfer& t : transfers)
      lines.push_back(d.engine == Engine::Webalizer ? sortKey(t.time) + formatXferlog(t)
                                                    : formatW3cFtp(t, server));
  }
  return lines;
}

Counts layOut(const std::string& vhostsRoot, const TreeSettings& settings, UnixTime firstDay, int days) {
  if (days < 1) throw std::runtime_error("--days must be at least 1");
  if (fs::exists(stateFilePath(vhostsRoot)))
    throw std::runtime_error(vhostsRoot + " already holds a demo tree; add a day with --append-day "
                             "or remove the directory first");
  for (const DemoDomain& d : demoDomains()) {
    fs::create_directories(configDir(vhostsRoot, d));
    writeText(fs::path(configDir(vhostsRoot, d)) / "web_stat_executor.conf", configXml(d));
    // The control panel creates the statistics directories with the domain.
    for (Kind kind : kAllKinds) fs::create_directories(fs::path(statisticsDir(vhostsRoot, d)) / kindStatSubdir(kind));
  }
  Counts counts;
  for (int i = 0; i < days; ++i) writeDay(vhostsRoot, settings, firstDay + i * kDay, counts);
  writeState(vhostsRoot, State{settings, firstDay, firstDay + (days - 1) * kDay});
  return counts;
}

Counts appendDay(const std::string& vhostsRoot, UnixTime today) {
  State s = readState(vhostsRoot);
  const UnixTime next = s.lastDay + kDay;
  if (next > today)
    throw NoDayLeft("the tree already reaches " + formatDay(s.lastDay) + "; the next day, " +
                    formatDay(next) + ", lies in the future and AWStats would reject its records");
  Counts counts;
  writeDay(vhostsRoot, s.settings, next, counts);
  s.lastDay = next;
  writeState(vhostsRoot, s);
  return counts;
}

std::string countTable(const Counts& counts) {
  std::ostringstream out;
  out << "# domain\twebspace\tengine\tkind\tfiles\trecords\n";
  for (const KindCount& c : counts)
    out << c.domain->name << '\t' << c.domain->webspace << '\t' << engineName(c.domain->engine) << '\t'
        << kindPrefix(c.kind) << '\t' << c.files << '\t' << c.records << '\n';
  return out.str();
}

namespace {

std::vector<std::string> fileLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

} // namespace

std::int64_t countedInReports(const std::string& outputDir, Engine engine) {
  std::int64_t total = 0;
  std::error_code ec;
  if (engine == Engine::Webalizer) {
    // month year hits files sites kbytes ...
    for (const std::string& line : fileLines(fs::path(outputDir) / "webalizer.hist")) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream in(line);
      std::int64_t month = 0, year = 0, hits = 0;
      if (in >> month >> year >> hits) total += hits;
    }
    return total;
  }
  for (const auto& entry : fs::directory_iterator(outputDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("awstats", 0) != 0 || entry.path().extension() != ".txt") continue;
    bool inTime = false;
    // hour pages hits bandwidth not-viewed-pages not-viewed-hits not-viewed-bandwidth
    for (const std::string& line : fileLines(entry.path())) {
      if (line.rfind("BEGIN_TIME", 0) == 0) {
        inTime = true;
      } else if (line.rfind("END_TIME", 0) == 0) {
        inTime = false;
      } else if (inTime) {
        std::istringstream in(line);
        std::int64_t hour, pages, hits, bandwidth, nvPages, nvHits;
        if (in >> hour >> pages >> hits >> bandwidth >> nvPages >> nvHits) total += hits + nvHits;
      }
    }
  }
  return total;
}

std::vector<ReportCount> reportCounts(const std::string& vhostsRoot) {
  const State s = readState(vhostsRoot);
  const auto& domains = demoDomains();
  std::vector<ReportCount> rows;
  for (std::size_t i = 0; i < domains.size(); ++i) {
    for (Kind kind : kAllKinds) {
      ReportCount row{&domains[i], kind};
      for (UnixTime day = s.firstDay; day <= s.lastDay; day += kDay)
        row.generated += std::int64_t(dayLines(s.settings, i, kind, day).size());
      row.counted = countedInReports(
          (fs::path(statisticsDir(vhostsRoot, domains[i])) / kindStatSubdir(kind)).string(), domains[i].engine);
      rows.push_back(row);
    }
  }
  return rows;
}

std::string reportTable(const std::vector<ReportCount>& rows) {
  std::ostringstream out;
  out << "# domain\twebspace\tengine\tkind\tgenerated\tcounted\n";
  for (const ReportCount& r : rows)
    out << r.domain->name << '\t' << r.domain->webspace << '\t' << engineName(r.domain->engine) << '\t'
        << kindPrefix(r.kind) << '\t' << r.generated << '\t' << r.counted << '\n';
  return out.str();
}

} // namespace demo
