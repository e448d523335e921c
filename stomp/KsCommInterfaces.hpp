// KsCommInterfaces: the transport adapter as the STOMP protocol client sees
// it.
//
// An adapter owns the socket: it connects to the broker named by its URI,
// sends the byte image of a frame (Transmit), cuts the incoming byte stream
// into frame texts and hands each one to OnDataAvailable (or, parsed, to
// OnFrameParsed or the frame receiver where the adapter offers that), either from its background
// reader thread (after Start) or synchronously in the caller's thread
// (WaitForFrame, ReceiveFrame, PollFrame).
//
// Ownership: an adapter is an owned component (std::unique_ptr held by the
// protocol client); IStompCommAdapter is only its view. The adapter owns its
// SSL options object.
//
// Threads: Transmit may be called from any thread while the reader thread
// reads. Reads (the three synchronous receive operations) must not run in two
// threads at once, nor while the reader thread runs. Handlers run on the
// thread that read the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "stomp/KsHeartBeat.hpp"
#include "stomp/KsStompVersion.hpp"

namespace ks {

class IURI;
class IStompCommAdapter;
class TKsParsedFrame;
class TKsSSLOptions;

using TKsAdapterNotifyEvent = std::function<void(IStompCommAdapter* sender)>;
using TKsAdapterDataEvent = std::function<void(IStompCommAdapter* sender, const std::string& frameText)>;
using TKsAdapterParsedEvent = std::function<void(IStompCommAdapter* sender, const TKsParsedFrame& frame)>;

// The receiver of parsed frames that an adapter calls directly instead of
// through an OnFrameParsed handler (the protocol client). Not owned by the
// adapter: the receiver outlives it, or removes itself first.
class IStompFrameReceiver {
 public:
  // As an OnFrameParsed handler: the views are valid during the call only.
  virtual void StompFrameParsed(IStompCommAdapter* sender, const TKsParsedFrame& parsed) = 0;

 protected:
  ~IStompFrameReceiver() = default;
};

class IStompCommAdapter {
 public:
  virtual ~IStompCommAdapter() = default;

  virtual void SetOnConnect(TKsAdapterNotifyEvent handler) = 0;
  virtual TKsAdapterNotifyEvent GetOnConnect() const = 0;
  virtual void SetOnAfterConnect(TKsAdapterNotifyEvent handler) = 0;
  virtual TKsAdapterNotifyEvent GetOnAfterConnect() const = 0;
  virtual void SetOnDataAvailable(TKsAdapterDataEvent handler) = 0;
  virtual TKsAdapterDataEvent GetOnDataAvailable() const = 0;
  // A second handler, for a receiver that would parse every frame text: an
  // adapter that parses frames while cutting them hands those to it parsed,
  // with views valid during the call only, instead of their texts to
  // OnDataAvailable (frames it did not parse still go there). An adapter
  // that does not parse ignores it (the default). An empty handler turns it
  // off.
  virtual void SetOnFrameParsed(TKsAdapterParsedEvent /*handler*/) {}
  // The same receiver as a plain pointer (nullptr: none), replacing any
  // OnFrameParsed handler, as a later SetOnFrameParsed replaces it. An
  // adapter without a receiver of its own makes it a handler (the default).
  virtual void SetFrameReceiver(IStompFrameReceiver* receiver) {
    if (receiver == nullptr) {
      SetOnFrameParsed(nullptr);
      return;
    }
    SetOnFrameParsed([receiver](IStompCommAdapter* sender, const TKsParsedFrame& parsed) {
      receiver->StompFrameParsed(sender, parsed);
    });
  }
  // The protocol version the broker chose, for cutting and parsing what
  // arrives from now on (KsStompVersion.hpp); each Connect starts at 1.0.
  // An adapter that hands over only frame texts may ignore it (the default).
  virtual void SetProtocolVersion(TKsStompVersion /*version*/) {}
  // Keeps the heart-beats agreed at log-in until Disconnect (KsHeartBeat.hpp):
  // a silent broker is reported as a lost connection. An adapter without
  // heart-beats ignores it (the default).
  virtual void StartHeartBeat(const TKsHeartBeatTimes& /*times*/) {}
  virtual void SetConnectTimeout(std::int32_t milliseconds) = 0;
  virtual std::int32_t GetConnectTimeout() const = 0;
  // The adapter takes ownership of options.
  virtual void SetSSLOptions(std::unique_ptr<TKsSSLOptions> options) = 0;
  virtual TKsSSLOptions* GetSSLOptions() const = 0;
  virtual void SetURI(std::shared_ptr<IURI> uri) = 0;
  virtual std::shared_ptr<IURI> GetURI() const = 0;
  virtual bool GetDirectDispatch() const = 0;
  virtual void SetDirectDispatch(bool value) = 0;
  virtual bool GetUseConnectTimeout() const = 0;
  virtual void SetUseConnectTimeout(bool value) = 0;
  // True exactly for the adapter's URL scheme, case-sensitive: "stomp" for
  // the TCP adapter, "stomp+ssl" for the TLS adapter.
  virtual bool SupportsProtocol(const std::string& protocol) const = 0;
  virtual void Connect() = 0;
  virtual void Disconnect() = 0;
  virtual bool Connected() = 0;
  virtual bool DataAvailable() = 0;
  virtual void WaitForFrame() = 0;
  // timeout in milliseconds: -2, -1 and 0 wait without limit.
  virtual void ReceiveFrame(std::int32_t timeout, bool raiseOnTimeout) = 0;
  virtual void PollFrame() = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  // sendTimeout in milliseconds; -1 leaves the socket's send time-out as it is.
  virtual void Transmit(const std::string& data, std::int32_t sendTimeout) = 0;
  // Transmit for one frame whose bytes lie in several places (its header
  // block, a large body where the message holds it, its NUL LF): the parts
  // go out in order, whole, as Transmit's bytes would. An adapter that
  // cannot write them as they lie joins them first (the default).
  virtual void TransmitParts(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) {
    std::string joined;
    for (std::size_t i = 0; i < count; ++i) joined.append(parts[i]);
    Transmit(joined, sendTimeout);
  }
  virtual std::string GetName() const = 0;
};

}  // namespace ks
