// KsBrokerOptions: Cistern's command line.
//
// Arguments have the form --Name=value (names without regard to case); the
// switches --Verbose and --FaultStrayLF may stand alone or take true/false.
// Options: Host (127.0.0.1), Port (61613; 0 takes a free port; "none": no
// plain listener, with TLS only), CertFile and KeyFile (PEM certificate and
// key: listen with TLS as well, on TlsPort, default 61612), User,
// Password (the two only together), HeartBeat=MS (the least heart-beat
// interval Cistern offers and asks for under STOMP 1.1 and 1.2; 0, the
// default: as the client asks), VirtualHost=NAME (refuse a CONNECT whose
// "host" names another), Verbose, the limits below, Help; and the test
// aids FaultChunk=N, FaultStrayLF, FaultCloseAfter=N, FaultConnectError=TEXT
// and FaultRefuseConnects=N.
//
// Limits (sizes in bytes, or with a K, M or G suffix for KiB, MiB, GiB):
// MaxConnections (10000 clients at once), ConnectTimeout (10 seconds from
// accepting a connection to its CONNECT), FrameTimeout (30 seconds from the
// first byte of a frame to its last), MaxQueueBytes (128M held per queue or
// durable subscription), MaxTotalBytes (512M held by all of them together),
// MaxTopicLag (64M unread by one topic subscriber). A timeout of 0 turns
// that deadline off.
//
// Threads: plain functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks {

struct TBrokerOptions {
  std::string host = "127.0.0.1";
  std::int32_t port = 61613;  // -1: no plain listener
  std::string certFile;       // with keyFile: a TLS listener on tlsPort
  std::string keyFile;
  std::int32_t tlsPort = 61612;
  bool userSet = false;
  std::string user;
  bool passwordSet = false;
  std::string password;
  bool verbose = false;
  std::int32_t maxConnections = 10000;
  std::int32_t connectTimeoutSeconds = 10;  // 0: none
  std::int32_t frameTimeoutSeconds = 30;    // 0: none
  std::uint64_t maxQueueBytes = 128ull << 20;
  std::uint64_t maxTotalBytes = 512ull << 20;
  std::uint64_t maxTopicLag = 64ull << 20;
  std::int32_t faultChunk = 0;       // 0: off
  bool faultStrayLF = false;
  std::int32_t heartBeatMs = 0;
  bool virtualHostSet = false;
  std::string virtualHost;
  std::int32_t faultCloseAfter = 0;  // 0: off
  std::int32_t faultRefuseConnects = 0;
  bool faultConnectErrorSet = false;
  std::string faultConnectError;
  bool help = false;
};

// Parses the arguments after the program name. Throws ks::Exception with a
// readable text for an unknown option, a bad value, a User without a
// Password (or the reverse), a CertFile without a KeyFile (or the reverse),
// or Port=none without a certificate.
TBrokerOptions ParseBrokerOptions(const std::vector<std::string>& args);

// The usage text, one entry per line; the test aids (faults on purpose,
// freezing) in a section of their own at the end.
std::vector<std::string> BrokerUsage();

}  // namespace ks
