#include "bench/micro/KsBenchAdapter.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "jms/KsURI.hpp"
#include "stomp/KsAdapterRegistry.hpp"
#include "stomp/KsCommAdapterIndy.hpp"
#include "stomp/KsSSLOptions.hpp"

namespace ks::bench {

namespace {

class TBenchAdapter : public IStompCommAdapter {
 public:
  void SetOnConnect(TKsAdapterNotifyEvent h) override { onConnect_ = std::move(h); }
  TKsAdapterNotifyEvent GetOnConnect() const override { return onConnect_; }
  void SetOnAfterConnect(TKsAdapterNotifyEvent h) override { onAfterConnect_ = std::move(h); }
  TKsAdapterNotifyEvent GetOnAfterConnect() const override { return onAfterConnect_; }
  void SetOnDataAvailable(TKsAdapterDataEvent h) override { onData_ = std::move(h); }
  TKsAdapterDataEvent GetOnDataAvailable() const override { return onData_; }
  void SetConnectTimeout(std::int32_t ms) override { connectTimeout_ = ms; }
  std::int32_t GetConnectTimeout() const override { return connectTimeout_; }
  void SetSSLOptions(std::unique_ptr<TKsSSLOptions> o) override { ssl_ = std::move(o); }
  TKsSSLOptions* GetSSLOptions() const override { return ssl_.get(); }
  void SetURI(std::shared_ptr<IURI> uri) override { uri_ = std::move(uri); }
  std::shared_ptr<IURI> GetURI() const override { return uri_; }
  bool GetDirectDispatch() const override { return true; }
  void SetDirectDispatch(bool) override {}
  bool GetUseConnectTimeout() const override { return false; }
  void SetUseConnectTimeout(bool) override {}
  bool SupportsProtocol(const std::string& p) const override { return p == "stomp"; }
  void Connect() override {
    connected_ = true;
    if (onAfterConnect_) onAfterConnect_(this);
    if (onConnect_) onConnect_(this);
    if (onData_) onData_(this, std::string("CONNECTED\nsession:bench\n\n", 26));
  }
  void Disconnect() override { connected_ = false; }
  bool Connected() override { return connected_; }
  bool DataAvailable() override { return true; }
  void WaitForFrame() override { Deliver(); }
  void ReceiveFrame(std::int32_t, bool) override { Deliver(); }
  void PollFrame() override { Deliver(); }
  void Start() override {}
  void Stop() override {}
  void Transmit(const std::string& data, std::int32_t) override {
    BenchWire().frames++;
    BenchWire().bytes += data.size();
    NoteReceipt(data);
  }
  void TransmitParts(const std::string_view* parts, std::size_t count, std::int32_t) override {
    BenchWire().frames++;
    for (std::size_t i = 0; i < count; ++i) BenchWire().bytes += parts[i].size();
    if (count > 0) NoteReceipt(parts[0]);
  }
  std::string GetName() const override { return "TBenchAdapter"; }

 private:
  // A frame that asks for a receipt (Close's DISCONNECT) gets one with the
  // next receive, so that Close does not wait out its receipt time-out.
  void NoteReceipt(std::string_view frame) {
    const auto end = frame.find("\n\n");
    const auto at = frame.substr(0, end).find("\nreceipt:");
    if (at == std::string_view::npos) return;
    const auto value = frame.substr(at + 9, frame.find('\n', at + 9) - (at + 9));
    receipts_.push_back("RECEIPT\nreceipt-id:" + std::string(value) + "\n\n");
  }
  void Deliver() {
    auto& wire = BenchWire();
    if (!receipts_.empty() && onData_) {
      const std::string receipt = std::move(receipts_.front());
      receipts_.erase(receipts_.begin());
      onData_(this, receipt);
      return;
    }
    if (wire.incoming.empty() || !onData_) return;
    const std::string& text = wire.incoming[wire.next];
    wire.next = (wire.next + 1) % wire.incoming.size();
    onData_(this, text);
  }

  TKsAdapterNotifyEvent onConnect_, onAfterConnect_;
  TKsAdapterDataEvent onData_;
  std::int32_t connectTimeout_ = 0;
  std::unique_ptr<TKsSSLOptions> ssl_;
  std::shared_ptr<IURI> uri_;
  bool connected_ = false;
  std::vector<std::string> receipts_;  // receipts owed, oldest first
};

}  // namespace

TBenchWire& BenchWire() {
  static TBenchWire wire;
  return wire;
}

void RegisterBenchAdapterFirst() {
  static bool done = false;
  if (done) return;
  done = true;
  RegisterAdapterClass("TBenchAdapter", [] { return std::make_unique<TBenchAdapter>(); });
  RegisterTcpAdapter();
}

}  // namespace ks::bench
