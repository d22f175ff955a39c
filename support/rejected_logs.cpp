#include "support/rejected_logs.h"

#include <map>
#include <set>
#include <sstream>

#include "config/registry.h"
#include "platform/fs.h"
#include "platform/process_identity.h"
#include "platform/text.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/logging.h"
#include "support/system_sort.h"

namespace {

constexpr unsigned kDefaultNights = 3;
// The file is the customer's to spoil, in the customer's directory: more
// than this is no file the program wrote, and is read as none.
constexpr uint64_t kMaxFileSize = 1 << 20;

struct Rejection {
  unsigned nights = 0;
  std::string lastNight;  // YYYYMMDD
  uint64_t size = 0;
  int64_t modified = 0;
};

std::string tonight() {
  const platform::LocalTime now = platform::localTime();
  return formatString("%04d%02d%02d", now.year, now.month, now.day);
}

// The counts of one log directory, read once and written back when they
// change.
class Rejections {
 public:
  explicit Rejections(const std::string& directory) : path_(VFileName::combine(directory, kRejectionsFileName)) {
    platform::fs::EntryStatus status;
    if (platform::fs::statEntry(path_, status) != 0) return;
    if (!status.isRegular || status.size > kMaxFileSize) {
      LogManager::instance().log(Warning, "%s is not a file of counts this program wrote; the counts start again",
                                 path_);
      return;
    }
    std::string contents;
    try {
      contents = readFileContents(path_);
    } catch (const vexception& e) {
      LogManager::instance().logException(Warning, e);
      return;
    }
    for (const std::string& line : text::split(contents, '\n')) {
      if (line.empty() || line[0] == '#') continue;
      const std::vector<std::string> fields = text::split(line, '\t');
      if (fields.size() != 5) continue;
      Rejection r;
      try {
        r.nights = static_cast<unsigned>(std::stoul(fields[0]));
        r.lastNight = fields[1];
        r.size = std::stoull(fields[2]);
        r.modified = std::stoll(fields[3]);
      } catch (const std::exception&) {
        continue;
      }
      entries_[fields[4]] = r;
    }
  }

  // The log's entry, or a new one when the log is not the one counted.
  Rejection& of(const std::string& name, const platform::fs::EntryStatus& status) {
    Rejection& r = entries_[name];
    if (r.size != status.size || r.modified != status.modified) r = Rejection{0, {}, status.size, status.modified};
    return r;
  }
  // The paths of the logs refused on an earlier night and not changed since.
  std::set<std::string> refusedBefore(const std::string& directory) const {
    std::set<std::string> names;
    for (const auto& [name, r] : entries_) {
      platform::fs::EntryStatus status;
      const std::string path = VFileName::combine(directory, name);
      if (r.nights > 0 && platform::fs::statEntry(path, status) == 0 && status.size == r.size &&
          status.modified == r.modified)
        names.insert(path);
    }
    return names;
  }
  void forget(const std::string& name) {
    if (entries_.erase(name)) changed_ = true;
  }
  void touch() { changed_ = true; }

  // A failure to keep the counts costs only nights: logged, never raised.
  void save() {
    if (!changed_) return;
    changed_ = false;
    try {
      if (entries_.empty()) {
        removeFile(path_, true, false, 0, 0);
        return;
      }
      std::string contents = "# nights\tlast night\tsize\tmodified\tlog file: what the statistics engine refused\n";
      for (const auto& [name, r] : entries_)
        contents += formatString("%u\t%s\t%llu\t%lld\t%s\n", r.nights, r.lastNight,
                                 static_cast<unsigned long long>(r.size), static_cast<long long>(r.modified), name);
      const std::string fresh = path_ + ".new";
      {
        VFile file;
        file.open(fresh, file_open::GenericWrite, 0, file_open::CreateAlways, file_open::OpenReparsePoint);
        file.write(contents.data(), contents.size());
      }
      if (const uint32_t code = platform::fs::renameEntry(fresh, path_, true))
        throwOsException("Replace " + path_ + " by " + fresh, code, Place{"", "processLogsInOrder", 0});
    } catch (const vexception& e) {
      LogManager::instance().logException(Warning, e);
    }
  }

 private:
  std::string path_;
  std::map<std::string, Rejection> entries_;
  bool changed_ = false;
};

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

} // namespace

unsigned rejectedLogNights() {
  uint32_t nights = 0;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, kConfigKey, kRejectedNightsValue, nights, registry::View32) != 0 ||
      nights == 0)
    nights = kDefaultNights;
  return nights;
}

std::set<std::string> logsRefusedBefore(const std::string& directory) {
  return Rejections(directory).refusedBefore(directory);
}

void processLogsInOrder(const std::string& directory, const std::vector<LogSource>& logs, const char* engine,
                        const std::function<void(const LogSource&)>& processLog,
                        const std::function<std::string(const std::string&, const std::string&)>& setAside) {
  Rejections rejections(directory);
  std::vector<std::string> setAsideErrors;
  const auto reportSetAside = [&](bool raiseLast) {
    rejections.save();
    for (size_t i = 0; i < setAsideErrors.size(); ++i) {
      if (raiseLast && i + 1 == setAsideErrors.size())
        throw vexception(setAsideErrors[i], Place{"", "processLogsInOrder", 0});
      LogManager::instance().log(Error, "%s", setAsideErrors[i]);
    }
  };
  const unsigned nights = rejectedLogNights();
  for (const LogSource& source : logs) {
    const std::string name = nameOf(source.path);
    // The log as it came: an engine may rewrite it (sorted, prepared) before
    // it refuses it, and does so again each night.
    platform::fs::EntryStatus arrived;
    const bool known = platform::fs::statEntry(source.path, arrived) == 0;
    try {
      processLog(source);
      rejections.forget(name);
      continue;
    } catch (const LogRejectedException& e) {
      platform::fs::EntryStatus status;
      if (platform::fs::statEntry(source.path, status) != 0) {
        reportSetAside(false);
        throw;
      }
      Rejection& r = rejections.of(name, known ? arrived : status);
      if (r.size != status.size || r.modified != status.modified) {
        r.size = status.size;
        r.modified = status.modified;
        rejections.touch();
      }
      const std::string night = tonight();
      if (r.lastNight != night) {
        ++r.nights;
        r.lastNight = night;
        rejections.touch();
      }
      if (r.nights < nights) {
        reportSetAside(false);
        vexception counted(formatString("%s (refused on %u of the %u nights after which it is set aside)",
                                        e.message(), r.nights, nights));
        for (const Place& place : e.places()) counted.addPlace(place);
        throw counted;
      }
      const unsigned refused = r.nights;
      const std::string base = VFileName::combine(directory, kSetAsidePrefix + name);
      const std::string target = fileExist(base) ? freeNameAfter(base, {}) : base;
      renameFile(source.path, target, 1);
      rejections.forget(name);
      const std::string note = setAside ? setAside(source.path, target) : std::string();
      setAsideErrors.push_back(formatString(
          "%s refused the log file %s on %u night%s; it is set aside as %s, kept for the operator, and the "
          "domain's later log files go on. Repair it and give it back a log file name%s, or remove it (the engine "
          "skips records older than the last one it counted). %s said: %s",
          engine, source.path, refused, refused == 1 ? "" : "s", target, note, engine,
          e.engineWords().empty() ? "(nothing)" : e.engineWords()));
    } catch (...) {
      reportSetAside(false);
      throw;
    }
  }
  reportSetAside(true);
}
