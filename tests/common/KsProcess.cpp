#include "tests/common/KsProcess.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <fstream>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace ks::test {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string BuiltProgram(const std::string& relative) { return std::string(KS_BINARY_DIR) + "/" + relative; }

TKsProcess::TKsProcess(const std::string& program, const std::vector<std::string>& args, bool mergeStderr) {
  int outPipe[2];
  int inPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(inPipe[0], STDIN_FILENO);
    dup2(outPipe[1], STDOUT_FILENO);
    if (mergeStderr) dup2(outPipe[1], STDERR_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(inPipe[0]);
  out_ = outPipe[0];
  in_ = inPipe[1];
}

TKsProcess::~TKsProcess() {
  if (in_ >= 0) close(in_);
  Kill();
  if (out_ >= 0) close(out_);
}

bool TKsProcess::FillBuffer(Clock::time_point deadline) {
  if (eof_) return false;
  pollfd p{out_, POLLIN, 0};
  int r = poll(&p, 1, RemainingMs(deadline));
  if (r <= 0) return false;
  char chunk[4096];
  ssize_t n = read(out_, chunk, sizeof chunk);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<std::string> TKsProcess::ReadLine(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    auto nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (eof_ || Clock::now() >= deadline) {
      if (eof_ && !buffer_.empty()) {
        std::string line;
        line.swap(buffer_);
        return line;
      }
      return std::nullopt;
    }
    FillBuffer(deadline);
  }
}

std::optional<std::vector<std::string>> TKsProcess::ReadUntil(const std::string& text,
                                                              std::chrono::milliseconds timeout, bool prefix) {
  auto deadline = Clock::now() + timeout;
  std::vector<std::string> lines;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    auto line = ReadLine(left);
    if (!line) return std::nullopt;
    lines.push_back(*line);
    if (prefix ? line->rfind(text, 0) == 0 : *line == text) return lines;
  }
}

std::vector<std::string> TKsProcess::ReadAll(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::vector<std::string> lines;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return lines;
    auto line = ReadLine(left);
    if (!line) return lines;
    lines.push_back(*line);
  }
}

void TKsProcess::WriteInput(const std::string& text) {
  if (in_ < 0) return;
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(in_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void TKsProcess::CloseInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

bool TKsProcess::BlockOutput() {
  // A second writer of the child's pipe, opened through /proc; writes of one
  // line each are atomic, so the child's lines stay whole between them.
  const int fd = open(("/proc/" + std::to_string(pid_) + "/fd/1").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string lines(4096, '\n');
  for (std::size_t size : {lines.size(), std::size_t{1}}) {
    while (write(fd, lines.data(), size) > 0) {
    }
  }
  close(fd);
  return true;
}

bool TKsProcess::BlockedOnOutput() const {
  // "<system call number> <first argument> ..." while the thread waits in one.
  std::ifstream state("/proc/" + std::to_string(pid_) + "/syscall");
  long number = -1;
  std::string descriptor;
  state >> number >> descriptor;
  return number == SYS_write && descriptor == "0x1";
}

std::optional<int> TKsProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = Clock::now() + timeout;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0 || Clock::now() >= deadline) return std::nullopt;
    // Polling a child's end has no descriptor to wait on; back off briefly.
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
}

bool TKsProcess::Running() {
  if (status_) return false;
  return !Wait(std::chrono::milliseconds(0)).has_value();
}

void TKsProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

void TKsProcess::Kill() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  Wait(std::chrono::seconds(10));
}

}  // namespace ks::test
