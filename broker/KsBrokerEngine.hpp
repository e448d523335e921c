// KsBrokerEngine: Cistern's message semantics: the table of queues and
// topics, subscriptions (plain and durable), client acknowledgement,
// transactions, receipts and the ERROR answers, all in memory.
//
// Versions: CONNECT (or STOMP) without "accept-version" makes a 1.0
// connection, answered with CONNECTED carrying "session" alone. With it the
// engine takes the highest of 1.0, 1.1 and 1.2 that the client accepts, and
// CONNECTED carries "version" and "heart-beat" as well; with none in common
// it answers ERROR (with "version:1.0,1.1,1.2") and closes. Heart-beats
// (1.1 and 1.2 only) are worked out from the client's "heart-beat:cx,cy"
// and the HeartBeat setting hb: Cistern offers sx = (cy == 0 ? 0 :
// max(cy, hb)) and asks sy = (cx == 0 ? 0 : max(cx, hb)); the connection is
// then told (StartHeartBeat) to send something at least every sx ms and to
// hear from the client at least every 2 * sy ms. With a VirtualHost set, a
// CONNECT whose "host" names another one is refused. Under 1.1 and 1.2 the
// engine reads every frame after CONNECT with its header names and values
// unescaped (an undefined escape sequence is refused like any bad frame),
// and writes every frame after CONNECTED escaped (KsBrokerEscape).
//
// Acknowledgement: a subscription's "ack" is auto, client (an ACK takes that
// message and every earlier one of the subscription) or, under 1.1 and 1.2,
// client-individual (that message alone). An ACK names its message by
// "message-id" under 1.0 and 1.1 (with "subscription" under 1.1, which
// narrows the search when given), and by "id" under 1.2, equal to the "ack"
// header of the MESSAGE (each delivery to a client or client-individual
// subscription gets its own, unique for the life of the broker process).
// NACK (1.1 and 1.2) names its message the same way and hands it back, and
// under client mode every earlier one of the subscription as well: to the
// front of its queue, durable subscription or topic subscription, flagged
// redelivered. ACK and NACK inside a transaction take effect at COMMIT.
//
// The engine knows nothing of sockets. The server loop hands it every frame
// a connection sends (OnFrame), tells it when a connection ends
// (OnClientGone) and when a connection that was too far behind can take
// deliveries again (OnClientReady). The engine writes the frames it sends
// through the connection's TBrokerClient side: BeginFrame/EndFrame around
// each frame, CanDeliver before each delivery (false while the connection's
// output is over its bound or it is closing, so a slow consumer never holds
// up anyone else), CloseAfterFlush after an ERROR or DISCONNECT, and
// PauseInput to hold a producer back.
//
// Memory: after a large drain the freed memory is handed back to the system.
// Every queued or unacknowledged message counts its cost against its
// queue (or durable subscription, for a topic), and all of them together
// against a total. A SEND that leaves its queue, one of its topic's durable
// subscriptions or the total at or over its limit is carried out, and then
// its connection is paused (no more of its frames are read) until the
// consumers bring that back under seven eighths of the limit: producers are
// held back, nothing is dropped or refused. A plain topic subscriber whose
// unread and unacknowledged messages would pass MaxTopicLag, or would take
// the total over its limit, is answered with ERROR and closed instead. The
// SENDs of one connection's open transactions may hold at most
// MaxQueueBytes; one more is refused with ERROR. A destination with no
// messages, no subscribers and no waiting producer is forgotten.
//
// Names: "jms.queue.NAME" and "/queue/NAME" are one queue, "jms.topic.NAME"
// and "/topic/NAME" one topic; MESSAGE frames name it in the "jms." form.
// "/temp-queue/NAME" and "/temp-topic/NAME" are an ordinary queue and topic
// ("jms.queue./temp-queue/NAME", "jms.topic./temp-topic/NAME").
// Blanks after the colon of "destination" are ignored.
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
// connection): under 1.0 an ACK of an unknown message id, and an UNSUBSCRIBE
// of an unknown id or durable name, change nothing. Under 1.1 and 1.2 an
// ACK or NACK of a message that is not waiting for one on this connection
// is refused with ERROR, as other brokers do, so a stale id shows. A SUBSCRIBE without "id" uses
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
#include "broker/KsBrokerEscape.hpp"

namespace ks {

struct TBrokerFrame;
struct TBrokerSubscription;
struct TBrokerDestination;
struct TBrokerDurable;
struct TBrokerTxOp;
struct TBrokerMessage;
struct TBrokerConnectTerms;

// The engine's view of one connection.
class TBrokerClient {
 public:
  explicit TBrokerClient(std::uint64_t id);
  virtual ~TBrokerClient();
  TBrokerClient(const TBrokerClient&) = delete;
  TBrokerClient& operator=(const TBrokerClient&) = delete;

  std::uint64_t Id() const { return id_; }
  // Whether CONNECT has been accepted.
  bool Connected() const { return connected_; }
  // The protocol version agreed at CONNECT (1.0 until then).
  TBrokerVersion Version() const { return version_; }

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
  // Stops (true) or resumes (false) the handling of this connection's
  // frames, those already read included. The connection must not call the
  // engine back from here.
  virtual void PauseInput(bool paused) = 0;
  // CONNECTED agreed on heart-beats (1.1 and 1.2 only): from now on the
  // connection writes an end-of-line when it has written nothing for
  // sendEveryMs, and drops the client when nothing has arrived from it for
  // silentLimitMs (0: not that side). Called after CONNECTED was appended.
  virtual void StartHeartBeat(std::int64_t sendEveryMs, std::int64_t silentLimitMs);

 private:
  friend class TBrokerEngine;
  std::uint64_t id_;
  bool connected_ = false;
  bool gone_ = false;
  TBrokerVersion version_ = TBrokerVersion::V1_0;
  std::string clientId_;
  std::unordered_map<std::string, std::unique_ptr<TBrokerSubscription>> subscriptions_;
  std::unordered_map<std::string, std::vector<TBrokerTxOp>> transactions_;
  std::size_t transactionBytes_ = 0;
  TBrokerDestination* waitingOn_ = nullptr;  // paused until this destination has room
};

struct TBrokerSettings {
  bool checkLogin = false;
  std::string login;
  bool checkPasscode = false;
  std::string passcode;
  bool failConnect = false;
  std::string connectError;
  std::size_t maxQueueBytes = std::size_t{128} << 20;
  std::size_t maxTotalBytes = std::size_t{512} << 20;
  std::size_t maxTopicLag = std::size_t{64} << 20;
  std::int64_t heartBeatMs = 0;  // the least heart-beat interval Cistern offers and asks for
  bool checkVirtualHost = false;
  std::string virtualHost;
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
  // Answers ERROR with message and detail and closes (a deadline passed, too
  // many connections).
  void Reject(TBrokerClient& client, std::string_view message, const std::string& detail);

  // The destinations known at the moment, and the bytes held by all queued
  // and unacknowledged messages.
  std::size_t DestinationCount() const { return destinations_.size(); }
  std::size_t HeldBytes() const { return held_; }

  // Hands freed memory back to the system after a large drain. The server
  // calls it once per turn of its loop, after closed connections have freed
  // their buffers, so that those are given back too.
  void GiveBackMemory();

 private:
  void Connect(TBrokerClient& c, const TBrokerFrame& f);
  void Send(TBrokerClient& c, const TBrokerFrame& f);
  void Subscribe(TBrokerClient& c, const TBrokerFrame& f);
  // The subscription a SUBSCRIBE asks for (ack mode, id, selector,
  // no-local); nullptr after an ERROR.
  std::unique_ptr<TBrokerSubscription> NewSubscription(TBrokerClient& c, const TBrokerFrame& f, TBrokerDestination& d);
  // The client's durable subscription of that name on topic, made or taken
  // up again (starting afresh when topic or selector changed); nullptr after
  // an ERROR.
  TBrokerDurable* HoldDurable(TBrokerClient& c, const TBrokerFrame& f, TBrokerDestination& topic,
                              std::string_view name);
  void Unsubscribe(TBrokerClient& c, const TBrokerFrame& f);
  // CONNECT's "accept-version", "host" and "heart-beat" into terms; false
  // after an ERROR.
  bool Negotiate(TBrokerClient& c, const TBrokerFrame& f, TBrokerConnectTerms& terms);
  // Writes CONNECTED as terms say and starts the heart-beats.
  void Connected(TBrokerClient& c, const TBrokerConnectTerms& terms);
  enum class TAckVerb { Ack, Nack };
  // ACK or NACK: the headers its version needs, then at once or at COMMIT.
  void Acknowledge(TBrokerClient& c, const TBrokerFrame& f, TAckVerb verb);
  // The subscriptions of c holding the delivery that key names (1.2: its
  // ack id; else its message id, within the named subscription when one is
  // named), each with the delivery's position among its unacknowledged ones.
  using TFound = std::vector<std::pair<TBrokerSubscription*, std::size_t>>;
  TFound Locate(TBrokerClient& c, std::string_view key, std::string_view subscription) const;
  // The position among s's unacknowledged deliveries of the one key names
  // (as Locate reads it under version), or their count when none.
  std::size_t FindDelivery(const TBrokerSubscription& s, TBrokerVersion version, std::string_view key) const;
  // Carries out an ACK or NACK of what Locate found.
  void Settle(const TFound& found, TAckVerb verb);
  // Takes the deliveries [first, last] of s out of its unacknowledged ones
  // and puts them back in front of what waits for s, flagged redelivered.
  void HandBack(TBrokerSubscription& s, std::size_t first, std::size_t last);
  // The frame as its sender meant it: under 1.1 and 1.2, names and values
  // unescaped into unescaped_ (nullptr after an ERROR for a bad escape).
  const TBrokerFrame* Unescaped(TBrokerClient& c, const TBrokerFrame& f);
  enum class TTxVerb { Begin, Commit, Abort };
  void Transaction(TBrokerClient& c, const TBrokerFrame& f, TTxVerb verb);
  // The operations of the transaction the frame names in ops (nullptr when
  // it names none); false, after an ERROR, when that transaction is not
  // open.
  bool OpenTransaction(TBrokerClient& c, const TBrokerFrame& f, std::vector<TBrokerTxOp>*& ops);

  void Refuse(TBrokerClient& c, const TBrokerFrame* f, const std::string& message, const std::string& detail,
              std::string_view supportedVersions = {});
  // What every entry point does last: resumes producers that have room
  // again and forgets destinations left empty.
  void Tidy();
  void Receipt(TBrokerClient& c, const TBrokerFrame& f);
  // The name under which a destination is kept: leading blanks dropped,
  // "/queue/NAME" and "/topic/NAME" read as "jms.queue.NAME" and
  // "jms.topic.NAME", the temporary forms as above. The view is valid until
  // the next call.
  std::string_view CanonicalName(std::string_view name);
  // The destination named by the frame's "destination", created on first
  // use; nullptr (after an ERROR) when the name is missing or invalid.
  TBrokerDestination* DestinationOf(TBrokerClient& c, const TBrokerFrame& f);
  // The destination with this (valid) name, created on first use.
  TBrokerDestination& Named(const std::string_view& name);
  void MayBeEmpty(TBrokerDestination& d);
  // Whether d, or the total, is at its limit (above limit * (8 - slack) / 8).
  bool Full(const TBrokerDestination& d, std::size_t slack) const;
  void HoldUnacked(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message, std::uint64_t ackId);
  void ReleaseUnacked(TBrokerSubscription& s, std::size_t bytes);
  void CutOff(TBrokerSubscription& s);
  void StopWaiting(TBrokerClient& c);

  void Publish(TBrokerDestination& d, std::shared_ptr<const TBrokerMessage> message);
  void DispatchQueue(TBrokerDestination& d);
  void DrainSubscription(TBrokerSubscription& s);
  void Offer(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message);
  bool Deliver(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message, bool redelivered);
  TBrokerSubscription* NextReady(TBrokerDestination& d, const TBrokerMessage& m);
  void EndSubscription(TBrokerClient& c, TBrokerSubscription& s);
  // The next message id; valid until the next call.
  std::string_view NextMessageId();
  // The text of an ack id.
  std::string AckText(std::uint64_t ackId) const;

  TBrokerSettings settings_;
  std::size_t held_ = 0;  // declared before everything that counts into it
  std::size_t heldPeak_ = 0;  // the most held since memory was last given back
  std::map<std::string, std::unique_ptr<TBrokerDestination>, std::less<>> destinations_;
  std::map<std::pair<std::string, std::string>, std::unique_ptr<TBrokerDurable>> durables_;
  std::vector<TBrokerDestination*> mayBeEmpty_;
  std::vector<TBrokerClient*> waiting_;  // paused producers
  std::string idPrefix_;
  std::string idScratch_;  // NextMessageId's text, its memory reused
  std::string canonical_;  // CanonicalName's result for the slash forms
  std::string ackPrefix_;  // ack ids: this, then a number
  std::string unescapedText_;  // Unescaped's names and values
  std::unique_ptr<TBrokerFrame> unescaped_;
  std::uint64_t nextMessage_ = 0;
  std::uint64_t nextAck_ = 0;
  std::uint64_t nextSession_ = 0;
};

}  // namespace ks
