// The night's address names for Webalizer.
//
// Webalizer asks its resolver for each address of each domain with at most
// 15 children, and forgets an address without a name, so one slow resolver
// costs the night once per domain. Here the addresses of all Webalizer
// domains are asked once per run, all at once, within bounds; Webalizer
// then only reads the names from its cache file (-N 0), which gives the same
// site names and countries as its own lookups.
#include "webalizer/address_names.h"

#include <db.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "config/registry.h"
#include "config/settings.h"
#include "platform/fs.h"
#include "support/errors.h"
#include "support/file_ops.h"
#include "support/format.h"
#include "support/guard.h"
#include "support/logging.h"
#include "webalizer/log_preparation.h"

namespace {

constexpr const char* kEnabledValue = "AddressLookups";
constexpr const char* kTimeoutValue = "AddressLookupTimeout";
constexpr const char* kRunTimeoutValue = "AddressLookupRunTimeout";
constexpr const char* kServersValue = "AddressLookupServers";
constexpr std::time_t kRememberSeconds = 24 * 60 * 60;

std::string_view withoutSortKey(std::string_view line) {
  if (line.size() <= kSortKeyLength || line[kSortKeyLength - 1] != ' ') return line;
  for (size_t i = 0; i + 1 < kSortKeyLength; ++i)
    if (line[i] < '0' || line[i] > '9') return line;
  return line.substr(kSortKeyLength);
}

// The whitespace-separated field of the record, counted from 0.
std::string_view field(std::string_view record, int wanted) {
  size_t at = 0;
  for (int index = 0;; ++index) {
    while (at < record.size() && (record[at] == ' ' || record[at] == '\t')) ++at;
    const size_t end = std::min(record.find_first_of(" \t", at), record.size());
    if (index == wanted || end >= record.size()) return index == wanted ? record.substr(at, end - at) : "";
    at = end;
  }
}

// The remembered addresses without a name that are younger than a day.
std::unordered_map<std::string, std::time_t> readNoNames(const std::string& path, std::time_t now) {
  std::unordered_map<std::string, std::time_t> noNames;
  if (!fileExist(path)) return noNames;
  guardLog(Warning, Place{formatString("Read the addresses without a name from '%s'", path), "lookUpAddressNames", 0},
           [&] {
             std::istringstream in(readFileContents(path));
             std::string address;
             long long when = 0;
             while (in >> address >> when)
               if (when <= now && now - when < kRememberSeconds) noNames[address] = static_cast<std::time_t>(when);
           });
  return noNames;
}

void writeNoNames(const std::string& path, const std::unordered_map<std::string, std::time_t>& noNames) {
  guardLog(Warning, Place{formatString("Remember the addresses without a name in '%s'", path), "lookUpAddressNames", 0},
           [&] {
             makeDir(directoryOf(path));
             std::string text;
             for (const auto& [address, when] : noNames)
               text += address + " " + std::to_string(static_cast<long long>(when)) + "\n";
             const std::string temporary = path + ".new";
             {
               VFile file;
               file.open(temporary, file_open::GenericWrite, 0, file_open::CreateAlways);
               file.write(text.data(), text.size());
             }
             if (const uint32_t code = platform::fs::renameEntry(temporary, path, true))
               throwOsException("Rename " + temporary + " to " + path, code, Place{"", "writeNoNames", 0});
           });
}

uint32_t dwordOr(const char* name, uint32_t fallback) {
  uint32_t value = 0;
  return registry::lookup(registry::HKEY_LOCAL_MACHINE, kConfigKey, name, value, registry::View32) == 0 ? value
                                                                                                        : fallback;
}

} // namespace

AddressLookupSettings addressLookupSettings() {
  AddressLookupSettings settings;
  settings.enabled = dwordOr(kEnabledValue, 1) != 0;
  settings.limits.perLookupMs = dwordOr(kTimeoutValue, 2) * 1000;
  settings.limits.perRunMs = dwordOr(kRunTimeoutValue, 120) * 1000;
  if (settings.limits.perLookupMs == 0) settings.limits.perLookupMs = 2000;
  registry::lookup(registry::HKEY_LOCAL_MACHINE, kConfigKey, kServersValue, settings.limits.servers, registry::REG_SZ,
                   registry::View32);
  return settings;
}

void collectClientAddresses(const std::string& path, LogKind kind, std::vector<std::string>& addresses,
                            std::unordered_set<std::string>& seen) {
  // The client is the first field of a web record and the seventh of an
  // FTP transfer record (after the five of the date and the transfer time).
  const int hostField = kind == LogKind::Web ? 0 : 6;
  VFile file;
  file.open(path, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::SequentialScan);
  BufferedFileReader reader(file);
  for (std::string line; reader.readLine(line);) {
    const std::string_view host = field(withoutSortKey(line), hostField);
    if (host.empty() || seen.count(std::string(host))) continue;
    std::string address(host);
    if (!platform::names::isAddress(address)) continue;
    seen.insert(address);
    addresses.push_back(std::move(address));
  }
}

std::string noNameFilePath() { return VFileName::combine(getProductRootDir(), "tmp/webalizer-dns/no-names"); }

AddressNames lookUpAddressNames(const std::vector<std::string>& addresses, const std::string& noNameFile,
                                const AddressLookupSettings& settings, std::time_t now) {
  AddressNames result;
  const auto started = std::chrono::steady_clock::now();
  std::unordered_map<std::string, std::time_t> noNames = readNoNames(noNameFile, now);
  std::vector<std::string> asked;
  for (const std::string& address : addresses) {
    if (noNames.count(address))
      ++result.counts.remembered;
    else
      asked.push_back(address);
  }
  std::vector<platform::names::Answer> answers;
  try {
    answers = platform::names::lookUpNames(asked, settings.limits);
  } catch (const std::runtime_error& e) {
    // Webalizer then shows the addresses as they are; the statistics stay.
    LogManager::instance().log(Warning, "Address lookups are skipped this run: %s", e.what());
    answers.assign(asked.size(), {});
  }
  bool newNoNames = false;
  for (size_t i = 0; i < asked.size(); ++i) {
    const platform::names::Answer& answer = answers[i];
    if (answer.asked) ++result.counts.made;
    switch (answer.outcome) {
      case platform::names::Outcome::Named:
        ++result.counts.named;
        result.names[asked[i]] = answer.name;
        break;
      case platform::names::Outcome::NoName:
        ++result.counts.noName;
        noNames[asked[i]] = now;
        newNoNames = true;
        break;
      case platform::names::Outcome::GivenUp:
        ++result.counts.givenUp;
        break;
    }
  }
  // Entries older than a day went when the file was read.
  if (newNoNames || fileExist(noNameFile)) writeNoNames(noNameFile, noNames);
  result.counts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

std::string describeLookups(const AddressLookupCounts& counts) {
  return formatString("Address lookups: %u made (%u with a name, %u without, %u given up), %u known to have no name, "
                      "%.1f seconds",
                      counts.made, counts.named, counts.noName, counts.givenUp, counts.remembered, counts.seconds);
}

bool writeWebalizerCache(const std::string& path, const std::vector<std::string>& addresses, const AddressNames& names,
                         std::time_t now) {
  if (fileExist(path)) removeFile(path, true, false, 0, 0);
  const Place place{formatString("Write Webalizer's address cache '%s'", path), "writeWebalizerCache", 0};
  DB* db = nullptr;
  bool any = false;
  const auto fail = [&](const char* what, int code) {
    if (db) db->close(db, 0);
    throw vexception(formatString("%s: %s", what, db_strerror(code)), place);
  };
  for (const std::string& address : addresses) {
    const auto found = names.names.find(address);
    if (found == names.names.end()) continue;
    if (!db) {
      if (const int code = db_create(&db, nullptr, 0)) fail("Berkeley DB", code);
      if (const int code = db->open(db, nullptr, path.c_str(), nullptr, DB_HASH, DB_CREATE | DB_EXCL, 0600))
        fail("Create the file", code);
    }
    // Webalizer's record: the time it was looked up, 0 for "resolved", the
    // name ended by a zero; its own records carry 11 more zero bytes.
    const std::string& name = found->second;
    std::string record(24 + name.size(), '\0');
    const int64_t when = static_cast<int64_t>(now);
    const int32_t numeric = 0;
    std::memcpy(record.data(), &when, sizeof when);
    std::memcpy(record.data() + 8, &numeric, sizeof numeric);
    std::memcpy(record.data() + 12, name.data(), name.size());
    DBT key{}, data{};
    key.data = const_cast<char*>(address.data());
    key.size = static_cast<u_int32_t>(address.size());
    data.data = record.data();
    data.size = static_cast<u_int32_t>(record.size());
    if (const int code = db->put(db, nullptr, &key, &data, 0)) fail("Write a record", code);
    any = true;
  }
  if (db) {
    const int code = db->close(db, 0);
    db = nullptr;
    if (code) fail("Close the file", code);
  }
  return any;
}
