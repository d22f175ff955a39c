// The process table of /proc: the processes, their open descriptors, current
// directories, command lines and executables. Every call answers 0 or the
// Windows code of its failure (5 for a process of another account, 2 for one
// that has ended).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::procfs {

// Stands for the current directory among the descriptors of a process.
constexpr int kCurrentDirectory = -1;

// Ids of all processes, ascending.
uint32_t processIds(std::vector<uint32_t>& ids);
// The open descriptor numbers of the process, ascending.
uint32_t descriptors(uint32_t pid, std::vector<int>& fds);
// What the descriptor (or kCurrentDirectory) refers to, as the kernel names
// it: a path for a file-system object, "pipe:[...]", "socket:[...]" and the
// like otherwise. The text is read from the link, nothing is opened.
uint32_t descriptorLink(uint32_t pid, int fd, std::string& target);

enum class ObjectKind { RegularFile, Directory, Other };
// The kind of object the descriptor refers to; this asks its file system,
// which may be slow to answer (a network file system).
uint32_t descriptorKind(uint32_t pid, int fd, ObjectKind& kind);

uint32_t executablePath(uint32_t pid, std::string& path);
// Whether the process has ended (or is ending: a zombie, or one whose memory
// is already gone), so that what cannot be read of it any more is no failure.
bool hasEnded(uint32_t pid);
// The arguments of the process joined with blanks; "" for a kernel thread.
uint32_t commandLine(uint32_t pid, std::string& line);

} // namespace platform::procfs
