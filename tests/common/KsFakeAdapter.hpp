// KsFakeAdapter: an in-memory IStompCommAdapter for exact-byte tests of the
// protocol and messaging clients.
//
// It records every Transmit (the bytes and the send time-out), reports
// Connected as the test sets it, and delivers scripted frame texts:
// - Connect marks the adapter connected, calls OnConnect (the client sends
//   CONNECT from there) and then hands the scripted connect reply, when there
//   is one, to OnDataAvailable, as a real adapter's synchronous first read
//   does. SetConnectError makes Connect raise instead, before anything else.
// - WaitForFrame, ReceiveFrame and PollFrame each hand the next queued frame
//   text (QueueFrame) to OnDataAvailable; with an empty queue they return
//   without delivering anything.
// - SetTransmitError makes every Transmit raise that ks::Exception (a socket
//   failure stand-in) without recording the bytes.
// - A transmitted frame that asks for a receipt is answered with its RECEIPT
//   at once, unless SetAnswerReceipts(false).
//
// Ownership: the client under test owns the adapter (std::unique_ptr); the
// test keeps a plain pointer, valid while the client lives.
// Threads: Transmit and the inspection functions may run on several threads
// at once (guarded by a mutex); reads and Connect belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stomp/KsCommInterfaces.hpp"
#include "stomp/KsSSLOptions.hpp"

namespace ks::test {

struct TKsTransmitRecord {
  std::string Bytes;
  std::int32_t SendTimeout = 0;
};

class TKsFakeAdapter : public IStompCommAdapter {
 public:
  TKsFakeAdapter() = default;

  // Test controls.
  void SetConnected(bool value);
  // The frame text delivered after OnConnect; empty: none.
  void SetConnectReply(std::string frameText);
  void SetConnectError(std::string message);
  void SetTransmitError(std::string message);
  // On (the default): a transmitted frame with a "receipt" header is
  // answered at once with its RECEIPT, handed to OnDataAvailable.
  void SetAnswerReceipts(bool value) { answerReceipts_ = value; }
  void QueueFrame(std::string frameText);
  std::size_t QueuedFrames() const;

  // What happened.
  std::vector<TKsTransmitRecord> Transmitted() const;
  std::size_t TransmitCount() const;
  // The bytes of the last Transmit; empty when there was none.
  std::string LastBytes() const;
  void ClearTransmitted();
  int ConnectCalls() const { return connectCalls_; }
  int DisconnectCalls() const { return disconnectCalls_; }
  int StartCalls() const { return startCalls_; }
  int StopCalls() const { return stopCalls_; }
  // Which synchronous read ran last: "WaitForFrame", "ReceiveFrame" or
  // "PollFrame"; and the time-out ReceiveFrame was given.
  std::string LastRead() const { return lastRead_; }
  std::int32_t LastReceiveTimeout() const { return lastReceiveTimeout_; }
  bool LastRaiseOnTimeout() const { return lastRaiseOnTimeout_; }

  // IStompCommAdapter.
  void SetOnConnect(TKsAdapterNotifyEvent handler) override { onConnect_ = std::move(handler); }
  TKsAdapterNotifyEvent GetOnConnect() const override { return onConnect_; }
  void SetOnAfterConnect(TKsAdapterNotifyEvent handler) override { onAfterConnect_ = std::move(handler); }
  TKsAdapterNotifyEvent GetOnAfterConnect() const override { return onAfterConnect_; }
  void SetOnDataAvailable(TKsAdapterDataEvent handler) override { onData_ = std::move(handler); }
  TKsAdapterDataEvent GetOnDataAvailable() const override { return onData_; }
  void SetConnectTimeout(std::int32_t milliseconds) override { connectTimeout_ = milliseconds; }
  std::int32_t GetConnectTimeout() const override { return connectTimeout_; }
  void SetSSLOptions(std::unique_ptr<TKsSSLOptions> options) override { ssl_ = std::move(options); }
  TKsSSLOptions* GetSSLOptions() const override { return ssl_.get(); }
  void SetURI(std::shared_ptr<IURI> uri) override { uri_ = std::move(uri); }
  std::shared_ptr<IURI> GetURI() const override { return uri_; }
  bool GetDirectDispatch() const override { return directDispatch_; }
  void SetDirectDispatch(bool value) override { directDispatch_ = value; }
  bool GetUseConnectTimeout() const override { return useConnectTimeout_; }
  void SetUseConnectTimeout(bool value) override { useConnectTimeout_ = value; }
  bool SupportsProtocol(const std::string& protocol) const override { return protocol == "stomp"; }
  void Connect() override;
  void Disconnect() override;
  bool Connected() override;
  bool DataAvailable() override;
  void WaitForFrame() override;
  void ReceiveFrame(std::int32_t timeout, bool raiseOnTimeout) override;
  void PollFrame() override;
  void Start() override { ++startCalls_; }
  void Stop() override { ++stopCalls_; }
  void Transmit(const std::string& data, std::int32_t sendTimeout) override;
  std::string GetName() const override { return "TKsFakeAdapter"; }

 private:
  bool answerReceipts_ = true;
  void DeliverNext();

  mutable std::mutex mutex_;
  std::vector<TKsTransmitRecord> transmitted_;
  std::string transmitError_;
  bool connected_ = false;
  std::deque<std::string> queue_;
  std::string connectReply_;
  std::string connectError_;
  int connectCalls_ = 0;
  int disconnectCalls_ = 0;
  int startCalls_ = 0;
  int stopCalls_ = 0;
  std::string lastRead_;
  std::int32_t lastReceiveTimeout_ = 0;
  bool lastRaiseOnTimeout_ = false;

  TKsAdapterNotifyEvent onConnect_;
  TKsAdapterNotifyEvent onAfterConnect_;
  TKsAdapterDataEvent onData_;
  std::int32_t connectTimeout_ = 0;
  std::unique_ptr<TKsSSLOptions> ssl_;
  std::shared_ptr<IURI> uri_;
  bool directDispatch_ = true;
  bool useConnectTimeout_ = false;
};

}  // namespace ks::test
