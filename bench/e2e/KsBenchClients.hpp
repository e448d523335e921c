// KsBenchClients: the C++ clients of the end-to-end benchmark, each run in a
// child process of its own so that its peak resident memory is its own.
//
// - RunLibraryClient: the work done through this library's messaging API
//   (connection factory, session, producer, consumer), the way Spigot and
//   Siphon do it: a new text message per send; Receive(1000) in a loop, or a
//   message listener on the connection's reader thread.
// - RunRawClient: the same bytes with no library: one write system call per
//   SEND frame (or, buffered, one per 64 KiB of frames), or large reads split
//   into frames in place. It is the limit a design with the same socket
//   settings can reach.
//
// Both print one line "ok <count> <elapsed ns> <page faults>" (elapsed from
// after the CONNECTED reply to the last message sent or received; the page
// faults of the process in that time) or "fail <text>" and answer the
// process exit code.
// Threads: called on the main thread of the child process.
#pragma once

#include <cstdint>
#include <string>

namespace ks::bench {

// RequestReply: Count round trips through a broker: a requester sends a
// request to "<queue>.req" and waits for the answer on "<queue>.rep"; a
// responder on a second connection of the same process answers every
// request. Besides the "ok" line, the client prints
// "latency <p50 ns> <p99 ns> <p99.9 ns>".
enum class TBenchWork { Produce, Receive, Listen, RequestReply };

struct TClientOptions {
  TBenchWork work = TBenchWork::Produce;
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::uint64_t count = 0;
  std::size_t size = 255;
  std::string queue = "bench";
  // Consume: this many consumers (subscriptions) on the one connection and
  // queue, each with the same listener (or, raw, subscription); the clock
  // starts once they are all made.
  std::size_t consumers = 1;
  // Raw produce only: ask for a receipt at DISCONNECT and wait for it, so
  // that the peer has taken every frame when the process ends.
  bool confirm = false;
  // Library: batched sending (URL parameter batchSend=true).
  bool batch = false;
  // Raw produce: frames gathered in a 64 KiB user-space buffer and written
  // together, instead of one write per frame.
  bool buffered = false;
  // Library client only: connect over STOMP over TLS, trusting this PEM
  // file.
  std::string caFile;
  // Library client only: more URL parameters ("heartBeat=1000,1000&...").
  std::string query;
  // Library client only: the address inside a failover URL
  // ("failover:(stomp://HOST:PORT)?QUERY"), for the cost of failover.
  bool failover = false;
};

int RunLibraryClient(const TClientOptions& options);
int RunRawClient(const TClientOptions& options);

}  // namespace ks::bench
