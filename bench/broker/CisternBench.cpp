// CisternBench: how many messages per second Cistern moves from one producer
// to one consumer through one queue.
//
// Usage: CisternBench [--Count=1000000] [--Size=255] [--Port=N]
// Without --Port it starts the Cistern next to this program on a free port
// and stops it at the end. Prints one result line.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int Dial(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::perror("send");
      std::exit(1);
    }
    done += static_cast<std::size_t>(n);
  }
}

// Reads until count frame ends (NUL bytes) have arrived. Both the consumer
// and the producer thread call it, so each call has a buffer of its own.
void CountFrames(int fd, long count) {
  std::vector<char> space(1 << 18);
  char* const buf = space.data();
  const std::size_t size = space.size();
  long seen = 0;
  while (seen < count) {
    ssize_t n = ::recv(fd, buf, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "consumer: connection ended after %ld frames\n", seen);
      std::exit(1);
    }
    for (const char* p = buf; (p = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(buf + n - p)))); ++p)
      ++seen;
  }
}

long Option(int argc, char** argv, const char* name, long fallback) {
  const std::size_t len = std::strlen(name);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], name, len) == 0) return std::stol(argv[i] + len);
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const long count = Option(argc, argv, "--Count=", 1000000);
  const long size = Option(argc, argv, "--Size=", 255);
  long port = Option(argc, argv, "--Port=", 0);
  pid_t broker = -1;
  if (port == 0) {
    std::string self(argv[0]);
    std::string path = self.substr(0, self.rfind('/') + 1) + "Cistern";
    int fds[2];
    if (::pipe(fds) != 0) return 1;
    broker = ::fork();
    if (broker == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::execl(path.c_str(), path.c_str(), "--Port=0", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string line;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    const std::size_t colon = line.rfind(':');
    if (line.rfind("Cistern listening on ", 0) != 0 || colon == std::string::npos) {
      std::fprintf(stderr, "Cistern did not start: %s\n", line.c_str());
      return 1;
    }
    port = std::stol(line.substr(colon + 1));
  }

  const std::string connect("CONNECT\n\n\0\n", 11);
  int consumer = Dial(static_cast<int>(port));
  WriteAll(consumer, connect);
  CountFrames(consumer, 1);
  WriteAll(consumer, std::string("SUBSCRIBE\ndestination:jms.queue.bench\nid:1\nreceipt:r\n\n\0\n", 56));
  CountFrames(consumer, 1);

  const std::string body(static_cast<std::size_t>(size), 'b');
  const std::string frame = "SEND\ndestination:jms.queue.bench\n\n" + body + std::string("\0\n", 2);
  const auto start = std::chrono::steady_clock::now();
  std::thread producer([&] {
    int fd = Dial(static_cast<int>(port));
    WriteAll(fd, connect);
    CountFrames(fd, 1);
    std::string batch;
    for (long n = 0; n < count; ++n) {
      batch += frame;
      if (batch.size() >= 65536 || n + 1 == count) {
        WriteAll(fd, batch);
        batch.clear();
      }
    }
    WriteAll(fd, std::string("DISCONNECT\nreceipt:d\n\n\0\n", 24));
    CountFrames(fd, 1);
    ::close(fd);
  });
  CountFrames(consumer, count);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  producer.join();
  ::close(consumer);
  std::printf("CisternBench: %ld messages of %ld bytes in %.3f s: %.0f messages/s\n", count, size, seconds,
              static_cast<double>(count) / seconds);
  if (broker > 0) {
    ::kill(broker, SIGTERM);
    ::waitpid(broker, nullptr, 0);
  }
  return 0;
}
