#include "bench/micro/KsBenchAdapter.hpp"

#include <memory>

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
  }
  void TransmitParts(const std::string_view* parts, std::size_t count, std::int32_t) override {
    BenchWire().frames++;
    for (std::size_t i = 0; i < count; ++i) BenchWire().bytes += parts[i].size();
  }
  std::string GetName() const override { return "TBenchAdapter"; }

 private:
  void Deliver() {
    auto& wire = BenchWire();
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
