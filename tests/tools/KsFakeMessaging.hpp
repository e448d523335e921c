// Fakes of the messaging interface for the tool tests: a session that makes
// messages and records commits, a producer that records what it sends, and
// messages whose Acknowledge is recorded. Every call is appended to one
// shared journal so that tests can check the order of steps.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "jms/KsJMSInterfaces.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsQueue.hpp"

namespace ks::test {

using TJournal = std::vector<std::string>;

// A text message without connection; Acknowledge is journalled (or raises).
class TFakeTextMessage : public TKsJMSMessage, public virtual ITextMessage {
 public:
  TFakeTextMessage(TJournal& journal, std::string text) : TKsJMSMessage(nullptr), journal_(journal), text_(std::move(text)) {}
  void SetText(const std::string& value) override { text_ = value; }
  std::string GetText() const override { return text_; }
  void Acknowledge() override {
    if (failAcknowledge) throw Exception("ack failed");
    journal_.push_back("Acknowledge " + GetJMSMessageID());
  }
  bool failAcknowledge = false;

 private:
  TJournal& journal_;
  std::string text_;
};

// A message that is not a text message.
class TFakeBytesMessage : public TKsJMSMessage, public virtual IBytesMessage {
 public:
  explicit TFakeBytesMessage(TJournal& journal) : TKsJMSMessage(nullptr), journal_(journal) {}
  void SetContent(const std::string& value) override { content_ = value; }
  std::string GetContent() const override { return content_; }
  void Acknowledge() override { journal_.push_back("Acknowledge " + GetJMSMessageID()); }

 private:
  TJournal& journal_;
  std::string content_;
};

class TFakeProducer : public IMessageProducer {
 public:
  explicit TFakeProducer(TJournal& journal) : journal_(journal) {}
  void SetDeliveryMode(TDeliveryMode value) override { mode_ = value; }
  void SetPriority(std::int32_t) override {}
  void SetTimeToLive(std::uint32_t ms) override { ttl_ = ms; }
  TDeliveryMode GetDeliveryMode() const override { return mode_; }
  std::int32_t GetPriority() const override { return 4; }
  std::uint32_t GetTimeToLive() const override { return ttl_; }
  void Close() override {}
  void Send(const std::shared_ptr<IMessage>& message) override { Record("", message); }
  void Send(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message) override {
    auto queue = std::dynamic_pointer_cast<IQueue>(destination);
    Record(queue ? queue->GetQueueName() : "?", message);
  }
  void Send(const std::shared_ptr<IMessage>& message, TDeliveryMode, std::uint8_t, std::uint32_t) override {
    Record("", message);
  }
  void Send(const std::shared_ptr<IDestination>&, const std::shared_ptr<IMessage>& message, TDeliveryMode,
            std::uint8_t, std::uint32_t) override {
    Record("?", message);
  }

 private:
  void Record(const std::string& to, const std::shared_ptr<IMessage>& message) {
    auto text = std::dynamic_pointer_cast<ITextMessage>(message);
    journal_.push_back("Send" + (to.empty() ? std::string() : " to " + to) + ": " + (text ? text->GetText() : "?"));
  }
  TJournal& journal_;
  TDeliveryMode mode_ = TDeliveryMode::NonPersistent;
  std::uint32_t ttl_ = 0;
};

class TFakeSession : public ISession {
 public:
  explicit TFakeSession(TJournal& journal) : journal_(journal) {}
  bool failCommit = false;

  void Close() override { journal_.push_back("Close session"); }
  void Commit() override {
    if (failCommit) throw EIllegalStateException("commit failed");
    journal_.push_back("Commit");
  }
  std::shared_ptr<IBytesMessage> CreateBytesMessage() override { return std::make_shared<TFakeBytesMessage>(journal_); }
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>&) override { return Refuse<IMessageConsumer>(); }
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>&, const std::string&) override {
    return Refuse<IMessageConsumer>();
  }
  std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>&, const std::string&, bool) override {
    return Refuse<IMessageConsumer>();
  }
  std::shared_ptr<ITopicSubscriber> CreateDurableSubscriber(const std::shared_ptr<ITopic>&, const std::string&) override {
    return Refuse<ITopicSubscriber>();
  }
  std::shared_ptr<IMessage> CreateMessage() override { return Refuse<IMessage>(); }
  std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>&) override {
    return std::make_shared<TFakeProducer>(journal_);
  }
  std::shared_ptr<IQueue> CreateQueue(const std::string& name) override { return TKsQueue::Create(name); }
  std::shared_ptr<IQueue> CreateTemporaryQueue() override { return Refuse<IQueue>(); }
  std::shared_ptr<ITopic> CreateTemporaryTopic() override { return Refuse<ITopic>(); }
  std::shared_ptr<IObjectMessage> CreateObjectMessage() override { return Refuse<IObjectMessage>(); }
  std::shared_ptr<IObjectMessage> CreateObjectMessage(void*) override { return Refuse<IObjectMessage>(); }
  std::shared_ptr<ITextMessage> CreateTextMessage() override { return CreateTextMessage(""); }
  std::shared_ptr<ITextMessage> CreateTextMessage(const std::string& text) override {
    return std::make_shared<TFakeTextMessage>(journal_, text);
  }
  std::shared_ptr<ITopic> CreateTopic(const std::string&) override { return Refuse<ITopic>(); }
  std::uint8_t GetAcknowledgeMode() const override { return AUTO_ACKNOWLEDGE; }
  bool GetTransacted() const override { return false; }
  void Rollback() override {}
  void Unsubscribe(const std::string&, const std::string&) override {}

 private:
  template <class I>
  std::shared_ptr<I> Refuse() {
    throw EUnsupportedOperationException("not faked");
  }
  TJournal& journal_;
};

}  // namespace ks::test
