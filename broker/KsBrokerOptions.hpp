// KsBrokerOptions: Cistern's command line.
//
// Arguments have the form --Name=value (names without regard to case); the
// switches --Verbose and --FaultStrayLF may stand alone or take true/false.
// Options: Host (127.0.0.1), Port (61613; 0 takes a free port), User,
// Password, Verbose, FaultChunk=N, FaultStrayLF, FaultCloseAfter=N,
// FaultConnectError=TEXT, Help.
//
// Threads: plain functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks {

struct TBrokerOptions {
  std::string host = "127.0.0.1";
  std::int32_t port = 61613;
  bool userSet = false;
  std::string user;
  bool passwordSet = false;
  std::string password;
  bool verbose = false;
  std::int32_t faultChunk = 0;       // 0: off
  bool faultStrayLF = false;
  std::int32_t faultCloseAfter = 0;  // 0: off
  bool faultConnectErrorSet = false;
  std::string faultConnectError;
  bool help = false;
};

// Parses the arguments after the program name. Throws ks::Exception with a
// readable text for an unknown option or a bad value.
TBrokerOptions ParseBrokerOptions(const std::vector<std::string>& args);

// The usage text, one entry per line.
std::vector<std::string> BrokerUsage();

}  // namespace ks
