// KsBrokerEngine: Cistern's message semantics: the table of queues and
// topics, subscriptions (plain and durable), client acknowledgement,
// transactions, receipts and the ERROR answers, all in memory.
//
// The engine knows nothing of sockets. The server loop hands it every frame
// a connection sends (OnFrame), tells it when a connection ends
// (OnClientGone) and when a connection that was too far behind can take
// deliveries again (OnClientReady). The engine writes the frames it sends
// through the connection's TBrokerClient side: BeginFrame/EndFrame around
// each frame, CanDeliver before each delivery (false while the connection's
// output is over its bound or it is closing, so a slow consumer never holds
// up anyone else), CloseAfterFlush after an ERROR or DISCONNECT.
//
// Delivery rules: a queue ("jms.queue.") gives each message to exactly one
// subscriber, round robin among those that can take it, and keeps it, by
// priority (9 first) then arrival, while none can. A topic ("jms.topic.")
// gives each current subscriber its own copy; a durable topic subscription
// keeps its copies while no connection holds it. Messages delivered to a
// client-acknowledge subscription and not yet acknowledged go back to the
// front of their queue (flagged redelivered) when the subscription or
// connection ends.
//
// Lenient on purpose (a client library may rely on these never ending its
// connection): an ACK of an unknown message id and an UNSUBSCRIBE of an
// unknown id or durable name change nothing. A SUBSCRIBE without "id" uses
// the destination name as its id. "activemq.noLocal" applies to queues too:
// a message never goes to a noLocal subscriber on the connection that sent
// it, and waits for another subscriber instead. A durable subscription
// subscribed again with another topic or selector starts afresh (JMS
// semantics); deleting one that this very connection holds ends that
// subscription first, while one held by another connection is an ERROR.
//
// Ownership: the engine owns destinations, durable subscriptions and, through
// each client, its subscriptions and transactions. A TBrokerClient is owned
// by the server and must stay alive until OnClientGone has returned for it.
//
// Threads: everything runs on the server loop's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "broker/KsBrokerBuffer.hpp"

namespace ks {

struct TBrokerFrame;
struct TBrokerSubscription;
struct TBrokerDestination;
struct TBrokerDurable;
struct TBrokerTxOp;

// The engine's view of one connection.
class TBrokerClient {
 public:
  explicit TBrokerClient(std::uint64_t id);
  virtual ~TBrokerClient();
  TBrokerClient(const TBrokerClient&) = delete;
  TBrokerClient& operator=(const TBrokerClient&) = delete;

  std::uint64_t Id() const { return id_; }

  // The buffer to append the next frame to, or nullptr when the connection
  // takes no more frames (it is closing).
  virtual TByteBuffer* BeginFrame() = 0;
  // Called after a frame was appended at offset start of that buffer.
  virtual void EndFrame(std::size_t start, bool isMessage) = 0;
  // Whether a delivery may be appended now. When it answers false because
  // the output is over its bound, the connection later reports itself with
  // OnClientReady.
  virtual bool CanDeliver() = 0;
  // Ends the connection once the frames written so far have gone out.
  virtual void CloseAfterFlush() = 0;
  // A frame was refused with an ERROR (for the verbose log).
  virtual void Refused(std::string_view reason) = 0;

 private:
  friend class TBrokerEngine;
  std::uint64_t id_;
  bool connected_ = false;
  bool gone_ = false;
  std::string clientId_;
  std::unordered_map<std::string, std::unique_ptr<TBrokerSubscription>> subscriptions_;
  std::unordered_map<std::string, std::vector<TBrokerTxOp>> transactions_;
};

struct TBrokerSettings {
  bool checkLogin = false;
  std::string login;
  bool checkPasscode = false;
  std::string passcode;
  bool failConnect = false;
  std::string connectError;
};

class TBrokerEngine {
 public:
  explicit TBrokerEngine(TBrokerSettings settings);
  ~TBrokerEngine();
  TBrokerEngine(const TBrokerEngine&) = delete;
  TBrokerEngine& operator=(const TBrokerEngine&) = delete;

  // Carries out one frame of client. The frame's views need only live for
  // the call.
  void OnFrame(TBrokerClient& client, const TBrokerFrame& frame);
  // The client's byte stream could not be read as frames: answers ERROR with
  // reason and closes.
  void OnReadError(TBrokerClient& client, std::string_view reason);
  // The connection ended (or is closing): its subscriptions end, its
  // unacknowledged messages go back, its open transactions are dropped.
  // Idempotent.
  void OnClientGone(TBrokerClient& client);
  // The connection can take deliveries again.
  void OnClientReady(TBrokerClient& client);

 private:
  void Connect(TBrokerClient& c, const TBrokerFrame& f);
  void Send(TBrokerClient& c, const TBrokerFrame& f);
  void Subscribe(TBrokerClient& c, const TBrokerFrame& f);
  void Unsubscribe(TBrokerClient& c, const TBrokerFrame& f);
  void Ack(TBrokerClient& c, const TBrokerFrame& f);
  void Transaction(TBrokerClient& c, const TBrokerFrame& f, int which);

  void Refuse(TBrokerClient& c, const TBrokerFrame* f, const std::string& message, const std::string& detail);
  void Receipt(TBrokerClient& c, const TBrokerFrame& f);
  // The destination named by the frame's "destination", created on first
  // use; nullptr (after an ERROR) when the name is missing or invalid.
  TBrokerDestination* DestinationOf(TBrokerClient& c, const TBrokerFrame& f);

  void Publish(TBrokerDestination& d, std::shared_ptr<const struct TBrokerMessage> message);
  void DispatchQueue(TBrokerDestination& d);
  void DrainSubscription(TBrokerSubscription& s);
  void Offer(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message);
  bool Deliver(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message, bool redelivered);
  TBrokerSubscription* NextReady(TBrokerDestination& d, const TBrokerMessage& m);
  void DoAck(TBrokerClient& c, std::string_view messageId);
  void EndSubscription(TBrokerClient& c, TBrokerSubscription& s);
  std::string NextMessageId();

  TBrokerSettings settings_;
  std::map<std::string, std::unique_ptr<TBrokerDestination>, std::less<>> destinations_;
  std::map<std::pair<std::string, std::string>, std::unique_ptr<TBrokerDurable>> durables_;
  std::string idPrefix_;
  std::uint64_t nextMessage_ = 0;
  std::uint64_t nextSession_ = 0;
};

}  // namespace ks
