#include "tests/common/KsFakeAdapter.hpp"

#include "support/KsException.hpp"

namespace ks::test {

void TKsFakeAdapter::SetConnected(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = value;
}

void TKsFakeAdapter::SetConnectReply(std::string frameText) { connectReply_ = std::move(frameText); }

void TKsFakeAdapter::SetConnectError(std::string message) { connectError_ = std::move(message); }

void TKsFakeAdapter::SetTransmitError(std::string message) {
  std::lock_guard<std::mutex> lock(mutex_);
  transmitError_ = std::move(message);
}

void TKsFakeAdapter::QueueFrame(std::string frameText) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(frameText));
}

std::size_t TKsFakeAdapter::QueuedFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

std::vector<TKsTransmitRecord> TKsFakeAdapter::Transmitted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transmitted_;
}

std::size_t TKsFakeAdapter::TransmitCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transmitted_.size();
}

std::string TKsFakeAdapter::LastBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transmitted_.empty() ? std::string() : transmitted_.back().Bytes;
}

void TKsFakeAdapter::ClearTransmitted() {
  std::lock_guard<std::mutex> lock(mutex_);
  transmitted_.clear();
}

void TKsFakeAdapter::Connect() {
  ++connectCalls_;
  if (!connectError_.empty()) throw Exception(connectError_);
  SetConnected(true);
  if (onConnect_) onConnect_(this);
  if (!connectReply_.empty() && onData_) onData_(this, connectReply_);
  if (onAfterConnect_) onAfterConnect_(this);
}

void TKsFakeAdapter::Disconnect() {
  ++disconnectCalls_;
  SetConnected(false);
}

bool TKsFakeAdapter::Connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

bool TKsFakeAdapter::DataAvailable() { return QueuedFrames() > 0; }

void TKsFakeAdapter::WaitForFrame() {
  lastRead_ = "WaitForFrame";
  DeliverNext();
}

void TKsFakeAdapter::ReceiveFrame(std::int32_t timeout, bool raiseOnTimeout) {
  lastRead_ = "ReceiveFrame";
  lastReceiveTimeout_ = timeout;
  lastRaiseOnTimeout_ = raiseOnTimeout;
  DeliverNext();
}

void TKsFakeAdapter::PollFrame() {
  lastRead_ = "PollFrame";
  DeliverNext();
}

void TKsFakeAdapter::Transmit(const std::string& data, std::int32_t sendTimeout) {
  std::string receipt;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!transmitError_.empty()) throw Exception(transmitError_);
    transmitted_.push_back(TKsTransmitRecord{data, sendTimeout});
    if (!answerReceipts_) return;
    const std::size_t blockEnd = data.find("\n\n");
    const std::size_t at = data.find("\nreceipt:");
    if (at == std::string::npos || at > blockEnd) return;
    const std::size_t from = at + 9;
    receipt = data.substr(from, data.find('\n', from) - from);
  }
  // As a broker would, at once: the RECEIPT reaches the client before the
  // caller starts to wait for it.
  if (onData_) onData_(this, "RECEIPT\nreceipt-id:" + receipt + "\n\n");
}

void TKsFakeAdapter::DeliverNext() {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty()) return;
    text = std::move(queue_.front());
    queue_.pop_front();
  }
  if (onData_) onData_(this, text);
}

}  // namespace ks::test
