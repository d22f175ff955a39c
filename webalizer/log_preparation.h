// Sorting a log chunk with the system sort and preparing it for Webalizer.
#pragma once

#include <string>
#include <vector>

#include "config/web_stat_config.h"
#include "support/system_sort.h"

// Each line of a chunk begins with its sort key: 14 digits of its time and a
// blank.
inline constexpr size_t kSortKeyLength = 15;

// Writes the log path of the entry (which must not exist) from the sorted
// file, each line without its first 15 bytes and ended by a line feed. A line of 15
// bytes or fewer, an empty one included, becomes an empty line; nothing after
// an empty line is dropped. The copy is on the disk when the call returns.
void removeTimestampField(const LogSource& source, const std::string& sortedPath);

// Deletes the file when the step that made it ends. A failing delete is only
// logged (Info); nothing is thrown. release() keeps the file.
class TempFileHolder {
 public:
  explicit TempFileHolder(std::string path) : path_(std::move(path)) {}
  ~TempFileHolder();
  TempFileHolder(const TempFileHolder&) = delete;
  TempFileHolder& operator=(const TempFileHolder&) = delete;
  void release() { path_.clear(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Names of the preparation's temporary files beside a chunk.
inline std::string sortInputPath(const std::string& chunk) { return chunk + ".sort1"; }
inline std::string sortOutputPath(const std::string& chunk) { return chunk + ".sort2"; }
// Marker beside a chunk whose records are already prepared (sorted, without
// their timestamp fields) but not yet read by Webalizer.
inline std::string preparedMarkerPath(const std::string& chunk) { return chunk + ".prepared"; }

// Sorts the chunk and copies it back without its timestamp fields. The chunk
// path holds its records whatever happens: a failed sort or copy puts the
// unsorted records back there before the failure is raised.
void prepareLogForWebalizer(const LogSource& source);
