#include "support/KsConsole.hpp"

#include <cerrno>
#include <unistd.h>

namespace ks {

namespace {

void WriteLineTo(int fd, const std::string& text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report a failed console write
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void WriteLine(const std::string& text) { WriteLineTo(STDOUT_FILENO, text); }

void WriteErrorLine(const std::string& text) { WriteLineTo(STDERR_FILENO, text); }

bool ReadLine(std::string& line) {
  line.clear();
  char c;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line.push_back(c);
  }
}

}  // namespace ks
