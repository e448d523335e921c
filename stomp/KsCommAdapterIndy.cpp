#include "stomp/KsCommAdapterIndy.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>

#include "jms/KsURI.hpp"
#include "stomp/KsAdapterRegistry.hpp"
#include "stomp/KsStompFrame.hpp"
#include "support/KsLogFactory.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

constexpr const char* kAdapterName = "TKsCommAdapterIndy";
constexpr std::int32_t kDefaultFirstFrameWait = 30000;
// How much of a line of a skipped header block is kept to name the frame.
constexpr std::size_t kNotedLine = 1024;

// The adapter whose reader thread this is (none on other threads).
thread_local const TKsCommAdapterIndy* tReaderOf = nullptr;

// The bytes without blanks and control characters (<= 0x20) in front and,
// when back is set, at the end.
std::string_view TrimView(std::string_view text, bool back = true) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 0x20) ++first;
  while (back && last > first && static_cast<unsigned char>(text[last - 1]) <= 0x20) --last;
  return text.substr(first, last - first);
}

// Ends the stream's hold of a frame handed over in place (none: nothing).
class THoldRelease {
 public:
  explicit THoldRelease(TKsTcpClient* client) : client_(client) {}
  ~THoldRelease() {
    if (client_ != nullptr) client_->Release();
  }
  THoldRelease(const THoldRelease&) = delete;
  THoldRelease& operator=(const THoldRelease&) = delete;

 private:
  TKsTcpClient* client_;
};

// The raw value of the first line of a header block with this name (a CR
// that ends the line under 1.2 left out); empty when there is none.
std::string_view HeaderLineValue(std::string_view block, std::string_view name) {
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t end = block.find('\n', pos);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && line.substr(0, colon) == name) return line.substr(colon + 1);
    pos = end + 1;
  }
  return std::string_view();
}

// The raw value of the first "content-length" line, for error messages.
std::string ContentLengthText(std::string_view block) {
  return std::string(HeaderLineValue(block, "content-length"));
}

// CutParsed's body, in rest after the header block: cut by the block's one
// content-length (maxFrame the largest body), or at the first NUL. The bytes
// used from rest, or 0 when the frame is not of the usual form.
inline std::size_t CutByLength(std::int64_t length, std::size_t maxFrame, std::string_view rest,
                               const TKsHeadFacts& facts, TKsParsedFrame& parsed) {
  // The parser must find the same one length, and the NUL LF after the
  // body; a length of 0 cuts at the NUL, which the general way does.
  if (length == 0 || static_cast<std::uint64_t>(length) > maxFrame || facts.LengthNames != 1 ||
      facts.LengthInCommand || StrToInt32Def(facts.LengthValue, 0) != length) {
    return 0;
  }
  const std::size_t size = static_cast<std::size_t>(length);
  if (rest.size() < size + 2 || rest[size] != '\0' || rest[size + 1] != '\n') return 0;
  parsed.SetBody(std::string_view(rest.data(), size));
  return size + 2;
}

inline std::size_t CutAtNul(std::size_t maxFrame, std::string_view rest, const TKsHeadFacts& facts,
                            TKsParsedFrame& parsed) {
  // The parser takes the whole body unless some header name might be a
  // content-length or a header line ends in NUL LF.
  if (facts.LengthNames != 0 || facts.NulLfInHeader) return 0;
  const char* const end = rest.data() + rest.size();
  const char* const at = FindByteInLong(rest.data(), end, '\0');
  const std::size_t nul = static_cast<std::size_t>(at - rest.data());
  if (at == end || nul > maxFrame) return 0;
  parsed.SetBody(std::string_view(rest.data(), nul));
  return nul + 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// TKsFrameCutter

void TKsFrameCutter::Reset() {
  begun_ = false;
  phase_ = TPhase::Header;
  scanned_ = 0;
  lengthLine_ = false;
  headerBegin_ = headerLen_ = bodyStart_ = bodyNeed_ = bodyEnd_ = consume_ = 0;
  unit_ = TUnit::Frame;
}

void TKsFrameCutter::SetMaxFrameSize(std::size_t bytes) { maxFrameSize_ = bytes; }

bool TKsFrameCutter::Advance(std::string_view b) {
  begun_ = true;
  try {
    if (phase_ == TPhase::Ready) return true;
    if (phase_ == TPhase::Discard) return AdvanceDiscard(b);
    if (phase_ == TPhase::DiscardHeader) return AdvanceHeaderDiscard(b);
    if (phase_ == TPhase::Header) {
      if (!AdvanceHeader(b)) return false;
      // A blank block, or a frame too large to hold: the unit is known.
      if (phase_ != TPhase::Body && phase_ != TPhase::Nul) return true;
    }
    return phase_ == TPhase::Body ? AdvanceBody(b) : AdvanceToNul(b);
  } catch (...) {
    Reset();
    discardToNul_ = false;
    discardLeft_ = 0;
    throw;
  }
}

bool TKsFrameCutter::AdvanceHeader(std::string_view b) {
  const std::size_t p = FindHeaderEnd(b);
  // Over the limit (a terminator still to come would start at size - 2 or
  // later): the frame is dropped from its first byte on.
  if (p == std::string_view::npos ? b.size() > maxHeaderSize_ + 2 : p > maxHeaderSize_) {
    StartHeaderDiscard();
    return AdvanceHeaderDiscard(b);
  }
  if (p == std::string_view::npos) return false;
  bodyStart_ = p + terminator_;
  // From 1.1 on, blanks at the end of the block belong to its last value.
  const std::string_view header = TrimView(b.substr(0, p), version_ == TKsStompVersion::V1_0);
  if (header.empty()) {
    unit_ = TUnit::Blank;
    consume_ = bodyStart_;
    phase_ = TPhase::Ready;
    return true;
  }
  headerBegin_ = static_cast<std::size_t>(header.data() - b.data());
  headerLen_ = header.size();
  if (header.substr(0, 15) == "content-length:") lengthLine_ = true;
  const std::int64_t length = lengthLine_ ? DeclaredLength(b, p) : 0;
  scanned_ = 0;
  if (length > 0 && static_cast<std::uint64_t>(length) > maxFrameSize_) {
    // Too large to hold: the body (with its NUL and LF) is read and
    // dropped piece by piece as it arrives.
    StartDiscard("Frame body of " + std::to_string(length) + " bytes exceeds the maximum frame size of " +
                     std::to_string(maxFrameSize_) + " bytes",
                 header);
    discardLeft_ = static_cast<std::size_t>(length) + 2;
    consume_ = bodyStart_;
    return true;
  }
  if (length > 0) bodyNeed_ = static_cast<std::size_t>(length) + 2;
  phase_ = length > 0 ? TPhase::Body : TPhase::Nul;
  return true;
}

bool TKsFrameCutter::AdvanceBody(std::string_view b) {
  if (b.size() - bodyStart_ < bodyNeed_) return false;
  // The frame text keeps the NUL and LF: the parser checks them.
  bodyEnd_ = bodyStart_ + bodyNeed_;
  consume_ = bodyEnd_;
  phase_ = TPhase::Ready;
  return true;
}

bool TKsFrameCutter::AdvanceToNul(std::string_view b) {
  // The body ends at the next NUL and is taken as it is; the line feeds and
  // blanks after the NUL are skipped in front of the next frame.
  const std::string_view rest = b.substr(bodyStart_);
  const std::size_t q = rest.find('\0', scanned_);
  if (q == std::string_view::npos) {
    scanned_ = rest.size();
    if (rest.size() <= maxFrameSize_) return false;
    StartDiscard("Frame body exceeds the maximum frame size of " + std::to_string(maxFrameSize_) + " bytes",
                 b.substr(headerBegin_, headerLen_));
    discardToNul_ = true;
    consume_ = b.size();
    return true;
  }
  if (q > maxFrameSize_) {
    StartDiscard("Frame body of " + std::to_string(q) + " bytes exceeds the maximum frame size of " +
                     std::to_string(maxFrameSize_) + " bytes",
                 b.substr(headerBegin_, headerLen_));
    consume_ = bodyStart_ + q + 1;
    phase_ = TPhase::Ready;
    return true;
  }
  bodyEnd_ = bodyStart_ + q;
  consume_ = bodyEnd_ + 1;
  phase_ = TPhase::Ready;
  return true;
}

std::size_t TKsFrameCutter::FindHeaderEnd(std::string_view b) {
  // Every LF in order, sixteen bytes at a time, noting on the way whether a
  // line starts with "content-length:" (only then is the block scanned for
  // its value). scanned_ is the last LF seen: the next call starts there
  // again, as the line after it may have been incomplete.
  constexpr std::string_view kName = "content-length:";
  const char* const data = b.data();
  for (std::size_t at = scanned_; at < b.size();) {
    const std::size_t n = std::min<std::size_t>(16, b.size() - at);
    for (std::uint32_t mask = ByteMask(data + at, n, '\n', '\n'); mask != 0; mask &= mask - 1) {
      const std::size_t lf = at + LowestBit(mask);
      scanned_ = lf;
      if (lf + 1 == b.size()) return std::string_view::npos;
      terminator_ = 2;
      if (data[lf + 1] == '\n') return lf;
      if (data[lf + 1] == '\r' && version_ == TKsStompVersion::V1_2) {
        // Under 1.2 an empty line may end in CR LF.
        if (lf + 2 == b.size()) return std::string_view::npos;
        terminator_ = 3;
        if (data[lf + 2] == '\n') return lf;
      }
      if (data[lf + 1] == 'c' && b.substr(lf + 1, kName.size()) == kName) lengthLine_ = true;
    }
    at += n;
  }
  return std::string_view::npos;
}

std::int64_t TKsFrameCutter::DeclaredLength(std::string_view b, std::size_t terminator) {
  // The length scan needs the block followed by LF LF: the buffer holds
  // exactly that unless trimming cut blanks off the block's end.
  std::string_view block;
  if (terminator_ == 2 && headerBegin_ + headerLen_ == terminator) {
    block = b.substr(headerBegin_, headerLen_ + 2);
  } else {
    scratch_.assign(b.substr(headerBegin_, headerLen_));
    scratch_.append("\n\n");
    block = scratch_;
  }
  const TKsContentLengthScan scan = TKsStompFrame::ScanContentLength(block, version_ == TKsStompVersion::V1_2);
  return scan.Present ? CheckedLength(scan, block) : 0;
}

std::int64_t TKsFrameCutter::CheckedLength(const TKsContentLengthScan& scan, std::string_view block) {
  if (!scan.Valid) {
    throw EKsInvalidContentLength("Invalid content-length \"" + ContentLengthText(block) + "\": not a number");
  }
  if (scan.Value < 0) {
    throw EKsInvalidContentLength("Invalid content-length \"" + ContentLengthText(block) + "\": negative");
  }
  if (scan.Value > std::numeric_limits<std::int32_t>::max() - 2) {
    throw EKsInvalidContentLength("Invalid content-length \"" + ContentLengthText(block) + "\": too large");
  }
  return scan.Value;
}

void TKsFrameCutter::StartDiscard(std::string reason, std::string_view block) {
  notice_ = TKsSkippedFrame{};
  notice_.Reason = std::move(reason);
  notice_.Command.assign(block.substr(0, block.find('\n')));
  notice_.MessageId.assign(HeaderLineValue(block, "message-id"));
  notice_.Destination.assign(HeaderLineValue(block, "destination"));
  notice_.Subscription.assign(HeaderLineValue(block, "subscription"));
  noticePending_ = true;
  unit_ = TUnit::Skipped;
  phase_ = TPhase::Discard;
  discardLeft_ = 0;
  discardToNul_ = false;
}

void TKsFrameCutter::StartHeaderDiscard() {
  notice_ = TKsSkippedFrame{};
  noticePending_ = false;
  scanned_ = 0;
  lengthLine_ = false;
  leadingBlanks_ = true;
  line_.clear();
  lineEmpty_ = false;
  skippedHeaderBytes_ = 0;
  skippedLength_ = -1;
  skippedLengthSeen_ = false;
  unit_ = TUnit::Skipped;
  phase_ = TPhase::DiscardHeader;
}

bool TKsFrameCutter::AdvanceHeaderDiscard(std::string_view b) {
  if (b.empty()) return false;
  unit_ = TUnit::Skipped;
  for (std::size_t i = 0; i < b.size(); ++i) {
    const char c = b[i];
    if (leadingBlanks_) {
      if (static_cast<unsigned char>(c) <= 0x20) continue;
      leadingBlanks_ = false;
    }
    if (c != '\n') {
      ++skippedHeaderBytes_;
      if (line_.size() < kNotedLine) line_.push_back(c);
      lineEmpty_ = false;
      continue;
    }
    // Under 1.2 the blank line may end in CR LF.
    if (!lineEmpty_ && !(version_ == TKsStompVersion::V1_2 && line_ == "\r")) {
      ++skippedHeaderBytes_;
      NoteSkippedLine(line_);
      line_.clear();
      lineEmpty_ = true;
      continue;
    }
    // The blank line: the block ends here, and the body follows.
    notice_.Reason = "Header block of " + std::to_string(skippedHeaderBytes_ - 1 - line_.size()) +
                     " bytes exceeds the maximum header size of " + std::to_string(maxHeaderSize_) + " bytes";
    noticePending_ = true;
    phase_ = TPhase::Discard;
    discardToNul_ = skippedLength_ <= 0;
    discardLeft_ = skippedLength_ > 0 ? static_cast<std::size_t>(skippedLength_) + 2 : 0;
    consume_ = i + 1;
    return true;
  }
  consume_ = b.size();
  return true;
}

void TKsFrameCutter::NoteSkippedLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // a 1.2 line end
  if (notice_.Command.empty()) {
    notice_.Command.assign(line);
    return;
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = line.substr(colon + 1);
  if (name == "content-length" && !skippedLengthSeen_) {
    skippedLengthSeen_ = true;
    const TKsContentLengthScan scan = TKsStompFrame::ScanLengthValue(value);
    // A line cut short by kNotedLine is no usable length either.
    if (scan.Valid && line.size() < kNotedLine && scan.Value <= std::numeric_limits<std::int32_t>::max() - 2) {
      skippedLength_ = scan.Value;
    }
  } else if (name == "message-id" && notice_.MessageId.empty()) {
    notice_.MessageId.assign(value);
  } else if (name == "destination" && notice_.Destination.empty()) {
    notice_.Destination.assign(value);
  } else if (name == "subscription" && notice_.Subscription.empty()) {
    notice_.Subscription.assign(value);
  }
}

bool TKsFrameCutter::AdvanceDiscard(std::string_view b) {
  if (b.empty()) return false;
  unit_ = TUnit::Skipped;
  if (discardToNul_) {
    const std::size_t q = b.find('\0');
    if (q == std::string_view::npos) {
      consume_ = b.size();
      return true;
    }
    consume_ = q + 1;
    discardToNul_ = false;
  } else {
    consume_ = std::min(b.size(), discardLeft_);
    discardLeft_ -= consume_;
    if (discardLeft_ > 0) return true;
  }
  // The skipped frame ends with this piece.
  phase_ = TPhase::Ready;
  return true;
}

bool TKsFrameCutter::TakeNotice(TKsSkippedFrame& skipped) {
  if (!noticePending_) return false;
  skipped = std::move(notice_);
  notice_ = TKsSkippedFrame{};
  noticePending_ = false;
  return true;
}

std::size_t TKsFrameCutter::Take(std::string_view b, std::string& out) {
  out.clear();
  if (unit_ == TUnit::Frame && headerBegin_ + headerLen_ + 2 == bodyStart_) {
    // The block, its LF LF and the body lie together in the buffer.
    out.assign(b.substr(headerBegin_, bodyEnd_ - headerBegin_));
  } else if (unit_ == TUnit::Frame) {
    std::string_view header = b.substr(headerBegin_, headerLen_);
    std::string_view body = b.substr(bodyStart_, bodyEnd_ - bodyStart_);
    out.reserve(header.size() + 2 + body.size());
    out.append(header);
    out.append("\n\n");
    out.append(body);
  }
  return Skip();
}

std::size_t TKsFrameCutter::CutParsed(std::string_view b, TKsParsedFrame& parsed) { return CutParsedInline(b, parsed); }

inline std::size_t TKsFrameCutter::CutParsedInline(std::string_view b, TKsParsedFrame& parsed) {
  if (begun_ && phase_ != TPhase::Header && !(phase_ == TPhase::Ready && unit_ == TUnit::Frame)) return 0;
  // The block starts with its command, after blanks that hold no empty
  // line (LF LF, or under 1.2 also LF CR LF: Advance cuts those as a unit
  // of their own), and does not end in blanks that trimming would cut: the
  // frame text is then these very bytes, and the parse of the block finds
  // its end.
  std::size_t lead = 0;
  if (b.size() > 1 && b[0] == '\n' && static_cast<unsigned char>(b[1]) > 0x20) {
    lead = 1;  // the usual case: the LF after the NUL of the frame before
  } else {
    while (lead < b.size() && static_cast<unsigned char>(b[lead]) <= 0x20) ++lead;
    if (lead == b.size()) return 0;
    const std::string_view blanks = b.substr(0, lead);
    if (lead > 1 && (blanks.find("\n\n") != std::string_view::npos ||
                     (version_ == TKsStompVersion::V1_2 && blanks.find("\n\r\n") != std::string_view::npos))) {
      return 0;
    }
  }
  TKsHeadFacts facts;  // filled by the parse
  const std::string_view head(b.data() + lead, std::min(b.size() - lead, maxHeaderSize_ + 2));
  if (!parsed.ParseHeadInPlace(head, facts, version_)) return 0;
  const std::size_t end = lead + facts.End;
  if (end > maxHeaderSize_ || (version_ == TKsStompVersion::V1_0 && static_cast<unsigned char>(b[end - 1]) <= 0x20)) {
    return 0;
  }
  // The empty line that ends the block lies within head.
  const std::string_view rest(b.data() + end + 2, b.size() - end - 2);
  std::size_t body = 0;
  if (facts.ExactLength) {
    const std::int64_t length =
        CheckedLength(TKsStompFrame::ScanLengthValue(facts.LengthValue), b.substr(lead, end + 2 - lead));
    body = CutByLength(length, maxFrameSize_, rest, facts, parsed);
  } else {
    body = CutAtNul(maxFrameSize_, rest, facts, parsed);
  }
  if (body == 0) return 0;
  // A frame Advance had begun to look at leaves marks behind.
  if (begun_) Reset();
  return end + 2 + body;
}

std::size_t TKsFrameCutter::Skip() {
  std::size_t consumed = consume_;
  // A skipped frame still being dropped stays in its discard phase.
  if (phase_ == TPhase::Discard || phase_ == TPhase::DiscardHeader) {
    consume_ = 0;
    return consumed;
  }
  Reset();
  return consumed;
}

// ---------------------------------------------------------------------------
// TKsStompReadThread

TKsStompReadThread::TKsStompReadThread(TKsCommAdapterIndy* adapter)
    : TKsThread(true), adapter_(adapter), cancelled_([this] { return Terminated(); }) {}

TKsStompReadThread::~TKsStompReadThread() {
  if (!IsCurrentThread()) TerminateAndWaitFor();
}

bool TKsStompReadThread::IsCurrentThread() const {
  return threadId_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

inline void TKsStompReadThread::DispatchOne(TKsCommAdapterIndy& adapter) {
  // Whatever goes wrong with one frame (an ERROR from the broker, a frame
  // the layers above cannot convert, a listener that throws) is that frame's
  // fault alone: it is reported and the reader goes on with the next frame.
  // Only the transport's own errors end the reader.
  const THoldRelease release(frame_.held ? adapter.client_.get() : nullptr);
  try {
    adapter.DispatchFromReader(frame_.text, frame_.held ? &frame_.parsed : nullptr, cancelled_);
  } catch (const std::exception& e) {
    adapter.ReportFrameFault(e.what());
  } catch (...) {
    adapter.ReportFrameFault("Unknown error while handling a frame");
  }
}

void TKsStompReadThread::Run() {
  threadId_.store(std::this_thread::get_id(), std::memory_order_release);
  tReaderOf = adapter_;
  struct TInRun {
    std::atomic<bool>& flag;
    explicit TInRun(std::atomic<bool>& f) : flag(f) { flag.store(true); }
    ~TInRun() { flag.store(false); }
  } inRun(inRun_);
  // Asked to pause since the loop last looked: leave the stream alone, so a
  // caller that saw Idle() after Stop() owns it from then on.
  if (Stopped()) return;
  TKsCommAdapterIndy& adapter = *adapter_;
  TIdStompClient& client = *adapter.client_;
  try {
    // A frame that is already whole is dispatched without waiting.
    bool got = adapter.TakeBufferedUnit(frame_);
    if (!got) {
      client.CheckForDisconnect(true, true);
      client.CheckForDataOnSource(200);
      if (Terminated()) return;
      got = adapter.TakeBufferedUnit(frame_);
      // Closed with no whole frame left: nothing more can arrive.
      if (!got) client.CheckForDisconnect(true, true);
    }
    // Frames that arrived together are dispatched one after another, as
    // long as the reader is neither stopped nor asked to end.
    while (got) {
      if (frame_.held || !frame_.text.empty()) DispatchOne(adapter);
      if (Terminated() || Stopped()) return;
      got = adapter.TakeUnit(frame_);
    }
  } catch (const std::exception& e) {
    if (!Terminated() && !adapter.closeExpected_.load(std::memory_order_acquire)) {
      adapter.ReportConnectionLost(e.what());
    }
    throw;
  }
}

// ---------------------------------------------------------------------------
// TKsCommAdapterIndy

TKsCommAdapterIndy::TKsCommAdapterIndy() : client_(std::make_unique<TIdStompClient>()) {
  connectTimeout_ = client_->GetConnectTimeout();
  SetLogger(TLogFactory::GetLogger(kAdapterName));
}

TKsCommAdapterIndy::~TKsCommAdapterIndy() {
  heartBeat_.Stop();
  try {
    EndReader();
  } catch (...) {
  }
  retiredThread_.reset();
}

std::string TKsCommAdapterIndy::GetName() const { return kAdapterName; }

std::unique_ptr<IKsSocketLayer> TKsCommAdapterIndy::MakeSocketLayer() { return nullptr; }

void TKsCommAdapterIndy::Log(const std::string& text) { TKsCommAdapter::Log(text); }

void TKsCommAdapterIndy::SetURI(std::shared_ptr<IURI> uri) {
  if (Connected()) throw Exception("Transport layer is already connected");
  uri_ = std::move(uri);
  portInvalid_ = false;
  invalidPort_.clear();
  if (!uri_) {
    client_->SetHost(std::string());
    client_->SetPort(0);
    return;
  }
  client_->SetHost(uri_->GetHost());
  const std::string portText = uri_->GetPort();
  std::int32_t port = 0;
  if (portText.empty()) {
    client_->SetPort(0);  // Connect reports the missing port
  } else if (TryStrToInt32(portText, port) && port >= 1 && port <= 65535) {
    client_->SetPort(static_cast<std::uint16_t>(port));
  } else {
    // Never keep only the low 16 bits: that would reach another port.
    client_->SetPort(0);
    portInvalid_ = true;
    invalidPort_ = portText;
  }
  client_->SetIPVersion(uri_->GetIPv6() ? TKsIPVersion::IPv6 : TKsIPVersion::IPv4);
}

std::shared_ptr<IURI> TKsCommAdapterIndy::GetURI() const { return uri_; }

void TKsCommAdapterIndy::ResetStreamState() {
  cutter_.Reset();
  cutter_.SetMaxFrameSize(GetMaxFrameSize());
  cutter_.SetMaxHeaderSize(GetMaxHeaderSize());
  cutter_.SetVersion(TKsStompVersion::V1_0);
  closeExpected_.store(false, std::memory_order_release);
}

void TKsCommAdapterIndy::StartHeartBeat(const TKsHeartBeatTimes& times) { heartBeat_.Start(times); }

void TKsCommAdapterIndy::HeartBeatLost(const std::string& cause) {
  // The report is claimed before the shutdown, so that the transport error
  // the shutdown brings about elsewhere (a failed send, a closed read) is
  // not reported in its place; it is made last, as the application may
  // close or destroy the connection from inside it.
  const bool report = !closeExpected_.load(std::memory_order_acquire) && ClaimLossReport();
  NoteLossCause(cause);
  client_->Shutdown();
  if (report) ReportClaimedLoss(cause);
}

void TKsCommAdapterIndy::EndReader() {
  // Joined outside the lock: a handler on the reader may start or stop it.
  std::unique_ptr<TKsStompReadThread> retired;
  std::unique_ptr<TKsStompReadThread> ending;
  {
    std::lock_guard<std::mutex> guard(readerMutex_);
    if (retiredThread_ && !retiredThread_->IsCurrentThread()) retired = std::move(retiredThread_);
    if (readerThread_ && readerThread_->IsCurrentThread()) {
      // Called from a handler on the reader itself: it ends after the
      // handler returns and is joined later.
      readerThread_->Terminate();
      retiredThread_ = std::move(readerThread_);
    } else {
      ending = std::move(readerThread_);
    }
  }
  if (retired) retired->TerminateAndWaitFor();
  if (ending) ending->TerminateAndWaitFor();
}

void TKsCommAdapterIndy::Connect() {
  if (Connected()) throw Exception("Transport layer is already connected");
  if (GetLogger()->IsDebugEnabled()) Log("Connect");
  heartBeat_.Stop();
  EndReader();  // a reader left from a connection the peer closed
  lossReported_.store(false, std::memory_order_release);
  NoteLossCause(std::string());
  client_->Disconnect(true);
  ResetStreamState();
  if (portInvalid_) {
    throw EKsStompClientConnectError("Invalid port \"" + invalidPort_ + "\": not a number between 1 and 65535");
  }
  if (useConnectTimeout_) client_->SetConnectTimeout(connectTimeout_);
  // A layer's set-up (reading certificate files) fails before connecting.
  std::unique_ptr<IKsSocketLayer> layer = MakeSocketLayer();
  // The layer's opening (the TLS handshake) and the broker's first frame
  // are each awaited no longer than the connect time-out (30 s when none is
  // set): a server that accepts and never answers must not hold Start
  // forever.
  const std::int32_t firstFrameWait = connectTimeout_ > 0 ? connectTimeout_ : kDefaultFirstFrameWait;
  client_->Connect();
  if (layer) client_->AttachLayer(std::move(layer), firstFrameWait);
  DoAfterConnect();
  DoConnect();
  try {
    ReceiveFrame(firstFrameWait, true);
  } catch (const EKsReadTimeout&) {
    client_->Disconnect(true);
    throw EKsStompClientConnectError("No reply to CONNECT within " + std::to_string(firstFrameWait) + " ms");
  }
  try {
    auto reader = std::make_unique<TKsStompReadThread>(this);
    std::lock_guard<std::mutex> guard(readerMutex_);
    readerThread_ = std::move(reader);
  } catch (...) {
    client_->Disconnect(true);
    throw EKsStompClientConnectError("Cannot create listening thread.");
  }
}

void TKsCommAdapterIndy::Disconnect() {
  if (GetLogger()->IsDebugEnabled()) Log("StompDisconnect");
  heartBeat_.Stop();
  std::exception_ptr error;
  try {
    EndReader();
  } catch (...) {
    error = std::current_exception();
  }
  // Without a confirmed DISCONNECT, a short pause lets the broker read
  // what was sent last before the socket goes.
  if (client_->SocketAllocated() && !skipClosePause_) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  skipClosePause_ = false;
  client_->Disconnect(true);
  ResetStreamState();
  if (error) std::rethrow_exception(error);
}

bool TKsCommAdapterIndy::Connected() { return client_ && client_->Connected(); }

bool TKsCommAdapterIndy::OnReaderThread() const { return tReaderOf == this; }

bool TKsCommAdapterIndy::ReaderActive() const {
  // A reader never started has never touched the stream (the common case
  // of synchronous receives: no lock taken).
  if (!readerStarted_.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> guard(readerMutex_);
  const TKsStompReadThread* reader = readerThread_.get();
  return reader != nullptr && !reader->Finished() && (!reader->Idle() || !reader->Stopped());
}

template <bool kInline>
inline bool TKsCommAdapterIndy::TakeParsed(std::string_view buffered, TKsCutFrame& frame) {
  std::size_t used = 0;
  if constexpr (kInline) {
    used = cutter_.CutParsedInline(buffered, frame.parsed);
  } else {
    used = cutter_.CutParsed(buffered, frame.parsed);
  }
  if (used == 0) return false;
  // Handed over in place: the bytes stay put until it is dispatched (the
  // text is left as it was: a held frame's is not used).
  frame.held = true;
  client_->HoldAndConsume(used);
  return true;
}

inline bool TKsCommAdapterIndy::TakeUnit(TKsCutFrame& frame) {
  std::string_view buffered = client_->InputBuffer();
  frame.held = false;
  if (buffered.empty()) return false;
  if (WantsParsedFrames() && TakeParsed<true>(buffered, frame)) return true;
  return TakeAdvanced(buffered, frame);
}

bool TKsCommAdapterIndy::TakeBufferedUnit(TKsCutFrame& frame) { return TakeUnit(frame); }

bool TKsCommAdapterIndy::TakeAdvanced(std::string_view buffered, TKsCutFrame& frame) {
  if (!cutter_.Advance(buffered)) {
    // A frame whose length is known gets the room for all of it at once.
    if (const std::size_t whole = cutter_.KnownFrameSize()) client_->ReserveInput(whole);
    return false;
  }
  // A frame that became whole over several reads is handed over in place
  // too, when it is of the usual form.
  if (WantsParsedFrames() && cutter_.Unit() == TKsFrameCutter::TUnit::Frame && TakeParsed<false>(buffered, frame)) {
    return true;
  }
  client_->Consume(cutter_.Take(buffered, frame.text));
  if (cutter_.NoticePending()) ReportSkippedFrame();
  return true;
}

bool TKsCommAdapterIndy::FrameBuffered() {
  for (;;) {
    std::string_view buffered = client_->InputBuffer();
    if (buffered.empty() || !cutter_.Advance(buffered)) return false;
    if (!cutter_.EmptyUnit()) return true;
    client_->Consume(cutter_.Skip());
    ReportSkippedFrame();
  }
}

void TKsCommAdapterIndy::ReportSkippedFrame() {
  TKsSkippedFrame skipped;
  if (cutter_.TakeNotice(skipped)) ReportFrameSkipped(skipped);
}

void TKsCommAdapterIndy::ReadUnit(std::int32_t timeout, TKsCutFrame& frame) {
  while (!TakeBufferedUnit(frame)) client_->ReadFromSource(timeout);
}

bool TKsCommAdapterIndy::DataAvailable() {
  if (FrameBuffered()) return true;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(50);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    if (!client_->CheckForDataOnSource(static_cast<std::int32_t>(left))) return false;
    if (FrameBuffered()) return true;
  }
}

void TKsCommAdapterIndy::WaitForFrame() {
  while (!DataAvailable()) {
    if (!client_->SocketAllocated() || client_->ClosedByPeer()) {
      EKsConnClosedGracefully closed;
      Log(closed.what());
      throw closed;
    }
  }
  ReceiveFrame(-2, false);
}

void TKsCommAdapterIndy::ReceiveFrame(std::int32_t timeout, bool raiseOnTimeout) {
  // The adapter's frame keeps its capacity from read to read; a read from
  // inside a handler of the one before uses a frame of its own.
  auto lease = received_.Lease();
  TKsCutFrame& frame = *lease;
  frame.text.clear();
  frame.held = false;
  try {
    // Blanks between frames form empty units. One followed by more bytes
    // is only padding before the next frame: keep reading (each wait still
    // bounded by the time-out), so stray line feeds never end a receive
    // early. Blanks with nothing after them end the call without a frame.
    do {
      ReadUnit(timeout, frame);
    } while (frame.text.empty() && !frame.held && !client_->InputBufferIsEmpty());
  } catch (const EKsReadTimeout& e) {
    Log(e.what());
    if (raiseOnTimeout) throw;
    return;
  } catch (const EKsConnClosedGracefully& e) {
    Log(e.what());
    throw;
  }
  DispatchTaken(frame);
}

inline void TKsCommAdapterIndy::DispatchTaken(TKsCutFrame& frame) {
  if (frame.held) {
    const THoldRelease release(client_.get());
    DoDataAvailable(frame.text, &frame.parsed);
  } else if (!frame.text.empty()) {
    DoDataAvailable(frame.text);
  }
}

bool TKsCommAdapterIndy::DispatchBuffered() {
  auto lease = received_.Lease();
  TKsCutFrame& frame = *lease;
  do {
    if (!TakeUnit(frame)) return false;
  } while (!frame.held && frame.text.empty());
  DispatchTaken(frame);
  return true;
}

void TKsCommAdapterIndy::PollFrame() {
  if (DataAvailable()) ReceiveFrame(0, false);
}

void TKsCommAdapterIndy::Start() {
  std::lock_guard<std::mutex> guard(readerMutex_);
  if (!readerThread_) return;
  readerStarted_.store(true, std::memory_order_release);
  readerThread_->Start();
}

void TKsCommAdapterIndy::Stop() {
  std::lock_guard<std::mutex> guard(readerMutex_);
  if (readerThread_) readerThread_->Stop();
}

void TKsCommAdapterIndy::Transmit(const std::string& data, std::int32_t sendTimeout) {
  const std::string_view part(data);
  WriteFrame(&part, 1, sendTimeout);
}

void TKsCommAdapterIndy::TransmitParts(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) {
  WriteFrame(parts, count, sendTimeout);
}

void TKsCommAdapterIndy::WriteFrame(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) {
  const bool debug = GetLogger()->IsDebugEnabled();
  if (debug) Log("StompTransmit");
  if (count > 0 && parts[0].starts_with("DISCONNECT\n")) closeExpected_.store(true, std::memory_order_release);
  // One frame at a time, each with its own send time-out (set on the
  // socket only when it changes), under the stream's write lock.
  client_->WriteParts(parts, count, sendTimeout);
  if (debug) Log("StompTransmit done");
}

void TKsCommAdapterIndy::ShutdownTransport() { client_->Shutdown(); }

// ---------------------------------------------------------------------------

void RegisterTcpAdapter() {
  static std::mutex once;
  std::lock_guard<std::mutex> guard(once);
  if (IsAdapterClassRegistered(kAdapterName)) return;
  RegisterAdapterClass(kAdapterName, [] { return std::make_unique<TKsCommAdapterIndy>(); });
}

}  // namespace ks
