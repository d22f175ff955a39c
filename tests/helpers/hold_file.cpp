// Holds files and directories open until it is killed, as a program that
// keeps a log or a report open would.
//   hold_file READY [--cwd DIR] [--dir DIR] [FILE]...
// READY is written once everything is held.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <list>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::list<std::ifstream> files;
  std::list<std::filesystem::directory_iterator> directories;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--cwd" && i + 1 < argc) {
      std::filesystem::current_path(argv[++i]);
    } else if (arg == "--dir" && i + 1 < argc) {
      directories.emplace_back(argv[++i]);  // the iterator keeps the directory open
    } else {
      files.emplace_back(arg, std::ios::binary);
      if (!files.back()) return 3;
    }
  }
  const std::string ready = argv[1];
  std::ofstream(ready + ".part") << "ready\n";
  std::filesystem::rename(ready + ".part", ready);
  for (;;) ::pause();
}
