// KsTapProxy: TTapProxy, a TCP relay on a free loopback port to a broker's
// port, for tests that must watch or break a client's connections.
//
// Every connection it accepts is relayed to the target port (a connection
// the target refuses is closed at once). It records, per accepted
// connection and in order, the bytes each side sent; DropAll closes every
// relayed connection (the client sees a broker that went away), and while
// Refuse(true) holds it accepts connections and closes them at once, as a
// port that takes no client would (they are counted all the same).
// StaleAcknowledgements reads the records: the ACK and NACK frames that
// name a message the broker did not deliver on that same connection.
//
// Threads: one relay thread of its own; every member may be called from any
// thread. The destructor closes everything and joins the thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ks::test {

class TTapProxy {
 public:
  explicit TTapProxy(std::uint16_t targetPort);
  ~TTapProxy();
  TTapProxy(const TTapProxy&) = delete;
  TTapProxy& operator=(const TTapProxy&) = delete;

  // 0 when no port could be had.
  std::uint16_t Port() const { return port_; }
  // "stomp://127.0.0.1:PORT"
  std::string Url() const;
  void DropAll();
  void Refuse(bool on);
  // Connections accepted so far (refused ones too).
  std::size_t Accepted() const;
  // What the client and what the broker sent, per connection in the order
  // of accept.
  std::vector<std::string> ClientBytes() const;
  std::vector<std::string> BrokerBytes() const;

 private:
  struct TPipe {
    int client = -1;
    int broker = -1;
    std::size_t record = 0;
  };
  void Run();
  void Wake();
  void Accept();
  // Moves what one side sent to the other; false when the pair ends.
  bool Relay(TPipe& pipe, bool fromClient);
  static void ClosePipe(TPipe& pipe);

  std::uint16_t target_;
  std::uint16_t port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> refuse_{false};
  std::atomic<bool> dropAll_{false};
  std::vector<TPipe> pipes_;  // the relay thread's own
  mutable std::mutex mutex_;  // guards the records
  std::vector<std::string> client_;
  std::vector<std::string> broker_;
  std::size_t accepted_ = 0;
};

// The ids (as ACK or NACK named them: "id", else "message-id") of the
// acknowledgements the client sent on a connection for a message the broker
// had not delivered on that connection (by its "ack", or "message-id").
std::vector<std::string> StaleAcknowledgements(const TTapProxy& proxy);
// The bodies of the MESSAGE frames the broker sent on a connection (text
// bodies: each up to its NUL).
std::vector<std::string> DeliveredBodies(const TTapProxy& proxy, std::size_t connection);
// How many ACK frames the client sent, over all connections.
std::size_t AcknowledgementCount(const TTapProxy& proxy);

}  // namespace ks::test
