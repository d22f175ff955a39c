#include "awstats/log_fields.h"

#include <optional>
#include <vector>

#include "awstats/log_for_awstats.h"
#include "platform/text.h"
#include "support/file_ops.h"

namespace {

constexpr std::string_view kFieldsPrefix = "#Fields:";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.emplace_back(line.substr(start, i - start));
  }
  return out;
}

const std::vector<std::string>& fixedFields() {
  static const std::vector<std::string> fields = words(kIisLogFields);
  return fields;
}

// The fields of a "#Fields:" line, or nothing when it is none or names none.
std::optional<std::vector<std::string>> fieldsOf(std::string_view line) {
  if (!text::startsWith(line, kFieldsPrefix)) return std::nullopt;
  std::vector<std::string> fields = words(line.substr(kFieldsPrefix.size()));
  if (fields.empty()) return std::nullopt;
  for (const std::string& field : fields) {
    bool letter = false;
    for (char c : field) letter = letter || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter) return std::nullopt;
  }
  return fields;
}

bool isFixedOrder(const std::vector<std::string>& fields) {
  const std::vector<std::string>& fixed = fixedFields();
  if (fields.size() != fixed.size()) return false;
  for (size_t i = 0; i < fields.size(); ++i)
    if (!text::equalsNoCase(fields[i], fixed[i])) return false;
  return true;
}

} // namespace

bool needsFixedFieldOrder(const std::string& logPath) {
  VFile file;
  file.open(logPath, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::SequentialScan);
  BufferedFileReader reader(file);
  for (std::string line; reader.readLine(line);) {
    if (text::startsWith(line, kByteOrderMark)) line.erase(0, kByteOrderMark.size());
    if (line.empty() || line[0] != '#') continue;
    if (const auto fields = fieldsOf(line); fields && !isFixedOrder(*fields)) return true;
  }
  return false;
}

void writeInFixedFieldOrder(const std::string& from, const std::string& to) {
  const std::vector<std::string>& fixed = fixedFields();
  VFile in;
  in.open(from, file_open::GenericRead, file_open::ShareRead, file_open::OpenExisting, file_open::SequentialScan);
  VFile out;
  out.open(to, file_open::GenericWrite, file_open::ShareRead, file_open::CreateNew, file_open::OpenReparsePoint);
  BufferedFileReader reader(in);
  BufferedFileWriter writer(out);
  // For each field of the current "#Fields:" line, its place in the fixed
  // order (or none); empty while the records are in the fixed order.
  std::vector<int> places;
  std::string line;
  for (bool first = true; reader.readLine(line); first = false) {
    if (first && text::startsWith(line, kByteOrderMark)) line.erase(0, kByteOrderMark.size());
    if (!line.empty() && line[0] == '#') {
      if (const auto fields = fieldsOf(line)) {
        places.clear();
        if (!isFixedOrder(*fields)) {
          for (const std::string& field : *fields) {
            int place = -1;
            for (size_t i = 0; i < fixed.size(); ++i)
              if (text::equalsNoCase(field, fixed[i])) place = static_cast<int>(i);
            places.push_back(place);
          }
        }
      }
      writer.append(line);
    } else if (places.empty() || line.empty()) {
      writer.append(line);
    } else {
      const std::vector<std::string> values = text::split(line, ' ');
      if (values.size() != places.size()) {
        writer.append(line);
      } else {
        std::vector<std::string> record(fixed.size(), "-");
        for (size_t i = 0; i < values.size(); ++i)
          if (places[i] >= 0) record[places[i]] = values[i];
        writer.append(text::join(record, " "));
      }
    }
    writer.append("\r\n");
  }
  writer.finish();
}
