#include "stomp/KsCommAdapter.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

#include "support/KsLogFactory.hpp"

namespace ks {

namespace {

// One call queued by a reader thread for the application thread.
struct TKsSyncCall {
  std::function<void()> call;
  bool started = false;
  bool done = false;
  std::exception_ptr error;
};

struct TKsSyncQueue {
  std::mutex mutex;
  std::condition_variable queued;  // a call was queued
  std::condition_variable done;    // a call finished
  std::deque<std::shared_ptr<TKsSyncCall>> calls;
};

TKsSyncQueue& SyncQueue() {
  static TKsSyncQueue queue;
  return queue;
}

}  // namespace

bool CheckSynchronize(std::int32_t timeoutMs) {
  TKsSyncQueue& q = SyncQueue();
  std::unique_lock<std::mutex> lock(q.mutex);
  if (q.calls.empty() && timeoutMs > 0) {
    q.queued.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !q.calls.empty(); });
  }
  bool ran = false;
  while (!q.calls.empty()) {
    std::shared_ptr<TKsSyncCall> item = std::move(q.calls.front());
    q.calls.pop_front();
    item->started = true;
    lock.unlock();
    try {
      item->call();
    } catch (...) {
      item->error = std::current_exception();
    }
    lock.lock();
    item->done = true;
    ran = true;
    q.done.notify_all();
  }
  return ran;
}

std::size_t PendingSynchronizeCalls() {
  TKsSyncQueue& q = SyncQueue();
  std::lock_guard<std::mutex> lock(q.mutex);
  return q.calls.size();
}

TKsCommAdapter::TKsCommAdapter()
    : directDispatch_(IsConsoleProgram()),
      sslOptions_(std::make_unique<TKsSSLOptions>()),
      logger_(TLogFactory::GetLogger("TKsCommAdapter")) {}

TKsCommAdapter::~TKsCommAdapter() = default;

void TKsCommAdapter::SetOnConnect(TKsAdapterNotifyEvent handler) { onConnect_ = std::move(handler); }
TKsAdapterNotifyEvent TKsCommAdapter::GetOnConnect() const { return onConnect_; }
void TKsCommAdapter::SetOnAfterConnect(TKsAdapterNotifyEvent handler) { onAfterConnect_ = std::move(handler); }
TKsAdapterNotifyEvent TKsCommAdapter::GetOnAfterConnect() const { return onAfterConnect_; }
void TKsCommAdapter::SetOnDataAvailable(TKsAdapterDataEvent handler) { onDataAvailable_ = std::move(handler); }
TKsAdapterDataEvent TKsCommAdapter::GetOnDataAvailable() const { return onDataAvailable_; }
void TKsCommAdapter::SetOnFrameParsed(TKsAdapterParsedEvent handler) {
  onFrameParsed_ = std::move(handler);
  frameReceiver_ = nullptr;
}
void TKsCommAdapter::SetFrameReceiver(IStompFrameReceiver* receiver) {
  frameReceiver_ = receiver;
  onFrameParsed_ = nullptr;
}
void TKsCommAdapter::SetConnectTimeout(std::int32_t milliseconds) { connectTimeout_ = milliseconds; }
std::int32_t TKsCommAdapter::GetConnectTimeout() const { return connectTimeout_; }
void TKsCommAdapter::SetSSLOptions(std::unique_ptr<TKsSSLOptions> options) { sslOptions_ = std::move(options); }
TKsSSLOptions* TKsCommAdapter::GetSSLOptions() const { return sslOptions_.get(); }
bool TKsCommAdapter::GetDirectDispatch() const { return directDispatch_; }
void TKsCommAdapter::SetDirectDispatch(bool value) { directDispatch_ = value; }
bool TKsCommAdapter::GetUseConnectTimeout() const { return useConnectTimeout_; }
void TKsCommAdapter::SetUseConnectTimeout(bool value) { useConnectTimeout_ = value; }

bool TKsCommAdapter::SupportsProtocol(const std::string& protocol) const { return protocol == "stomp"; }

void TKsCommAdapter::Start() {}
void TKsCommAdapter::Stop() {}
bool TKsCommAdapter::DataAvailable() { return true; }

void TKsCommAdapter::Log(const std::string& text) {
  std::string line = GetName();
  line.append(": ").append(text);
  logger_->Trace(line);
}

void TKsCommAdapter::SetLogger(std::shared_ptr<ILogging> logger) {
  if (logger) logger_ = std::move(logger);
}

void TKsCommAdapter::DoAfterConnect() {
  if (onAfterConnect_) onAfterConnect_(this);
}

void TKsCommAdapter::DoConnect() {
  if (onConnect_) onConnect_(this);
}

void TKsCommAdapter::ReportFrameFault(const std::string& text) {
  if (logger_) logger_->Error(GetName() + ": " + text);
  if (onFault_) onFault_(text, false);
}

std::string TKsSkippedFrame::Text() const {
  if (Command != "MESSAGE" || MessageId.empty()) return Reason + "; frame skipped";
  return Reason + "; MESSAGE \"" + MessageId + "\" from \"" + Destination + "\" skipped";
}

void TKsCommAdapter::ReportFrameSkipped(const TKsSkippedFrame& skipped) {
  const std::string text = skipped.Text();
  if (logger_) logger_->Error(GetName() + ": " + text);
  if (onSkipped_) {
    onSkipped_(skipped);
  } else if (onFault_) {
    onFault_(text, false);
  }
}

void TKsCommAdapter::ReportConnectionLost(const std::string& text) {
  if (ClaimLossReport()) ReportClaimedLoss(text);
}

void TKsCommAdapter::NoteLossCause(const std::string& cause) {
  std::lock_guard<std::mutex> lock(lossMutex_);
  lossCause_ = cause;
}

std::string TKsCommAdapter::GetLossCause() const {
  std::lock_guard<std::mutex> lock(lossMutex_);
  return lossCause_;
}

void TKsCommAdapter::ReportClaimedLoss(const std::string& text) {
  if (logger_) logger_->Error(GetName() + ": " + text);
  if (onFault_) onFault_(text, true);
}

void TKsCommAdapter::DispatchThroughApplication(const std::string& frameText, const TKsParsedFrame* parsed,
                                                const std::function<bool()>& cancelled) {
  auto item = std::make_shared<TKsSyncCall>();
  item->call = [this, &frameText, parsed] { DoDataAvailable(frameText, parsed); };
  TKsSyncQueue& q = SyncQueue();
  std::unique_lock<std::mutex> lock(q.mutex);
  q.calls.push_back(item);
  q.queued.notify_all();
  while (!item->done) {
    q.done.wait_for(lock, std::chrono::milliseconds(50));
    if (!item->started && !item->done && cancelled && cancelled()) {
      for (auto it = q.calls.begin(); it != q.calls.end(); ++it) {
        if (*it == item) {
          q.calls.erase(it);
          break;
        }
      }
      return;
    }
  }
  if (item->error) std::rethrow_exception(item->error);
}

}  // namespace ks
