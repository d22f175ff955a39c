// A child for the process tests: prints "[argv0]" then "[arg]" for each
// argument; "exec_probe fds" prints its open descriptors instead, e.g. "0 1 2".
#include <fcntl.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "fds") == 0) {
    for (int fd = 0; fd < 1024; ++fd)
      if (::fcntl(fd, F_GETFD) != -1) std::printf(fd == 0 ? "%d" : " %d", fd);
    return 0;
  }
  for (int i = 0; i < argc; ++i) std::printf("[%s]", argv[i]);
  return 0;
}
