// KsBenchAdapter: a transport adapter for benchmarks that never touches the
// network: Connect logs the client in at once, Transmit counts and discards
// the bytes (a frame that asks for a receipt gets one with the next
// receive), and the synchronous receive operations hand out pre-encoded
// frame texts from a list, one per call.
//
// RegisterBenchAdapterFirst() registers it before the TCP adapter, so that it
// is the registry's default in the benchmark process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks::bench {

struct TBenchWire {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  // Frame texts the receive operations deliver, in order (cycled).
  std::vector<std::string> incoming;
  std::size_t next = 0;
};

// The wire shared by every bench adapter of the process.
TBenchWire& BenchWire();

void RegisterBenchAdapterFirst();

}  // namespace ks::bench
