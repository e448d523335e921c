// KsProcess: runs a program of this project as a child process for
// end-to-end tests, with its standard input and output connected to pipes.
//
// ReadLine waits for one output line with a deadline (no sleeps); the
// destructor kills the child if it still runs and reaps it, so every process
// a test starts is stopped by that test.
//
// Threads: one thread uses a TKsProcess at a time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ks::test {

class TKsProcess {
 public:
  // Starts program with args (argv[0] is program). stderr goes to stdout
  // when mergeStderr is true, else it is inherited.
  TKsProcess(const std::string& program, const std::vector<std::string>& args, bool mergeStderr = true);
  ~TKsProcess();

  TKsProcess(const TKsProcess&) = delete;
  TKsProcess& operator=(const TKsProcess&) = delete;

  pid_t Pid() const { return pid_; }

  // The next line of output (without its newline), or nothing when the
  // deadline passes or output ends first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // Reads lines until one equals (or, with prefix true, starts with) text;
  // returns every line read, or nothing on time-out / end of output.
  std::optional<std::vector<std::string>> ReadUntil(const std::string& text, std::chrono::milliseconds timeout,
                                                    bool prefix = false);
  // Every remaining line until output ends (or the deadline passes).
  std::vector<std::string> ReadAll(std::chrono::milliseconds timeout);

  void WriteInput(const std::string& text);
  void CloseInput();

  // Fills the pipe of the child's output to the last byte with empty lines,
  // so that the child's next write blocks until the test reads again: a way
  // to hold a program at the point where it prints.
  bool BlockOutput();
  // True while the child's main thread is blocked writing to its standard
  // output (Linux: read from /proc).
  bool BlockedOnOutput() const;

  // Waits for the child to end; its exit status, or nothing on time-out.
  // A child ended by a signal reports 128 + the signal number.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // True while the child has not ended (does not reap it).
  bool Running();
  void Signal(int signal);
  void Kill();

 private:
  bool FillBuffer(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string buffer_;
  bool eof_ = false;
  std::optional<int> status_;
};

// Path of a program built by this project, e.g. BuiltProgram("tools/Spigot").
std::string BuiltProgram(const std::string& relative);

}  // namespace ks::test
