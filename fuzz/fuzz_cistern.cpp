// Fuzz target: Cistern's frame reader and engine, driven the way its server
// loop drives them, with three connections and no sockets.
//
// Input: the first byte chooses the settings (bit 0: tiny memory limits, so
// that flow control and cutting off slow subscribers happen; bit 1: a login
// and passcode are checked). The rest is segments separated by 0xFF bytes.
// A segment's first byte picks a connection (value % 3) and an action
// ((value / 3) % 4): 0 hands it the segment's other bytes, 1 reads its
// output away and reports it ready, 2 makes it refuse deliveries (a slow
// consumer) and then hands it the bytes, 3 ends it and opens a fresh one
// that gets the bytes. Bytes are handed over in pieces of 1 to 16 bytes, so
// that frames arrive cut up.
//
// Checked: every byte Cistern writes is a sequence of well-formed frames
// (cut here independently, each frame text then re-read by the reference
// parser): a known command, the headers each command must carry, NUL and
// exactly one LF after each frame, nothing after an ERROR; the reader looks
// at each input byte a bounded number of times; the engine's count of held
// bytes never goes below zero and is zero once nothing holds a message.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "broker/KsBrokerEngine.hpp"
#include "broker/KsBrokerFrameReader.hpp"
#include "fuzz/KsFuzzOracle.hpp"

using ks::fuzz::FuzzCheck;

namespace {

class TFuzzClient final : public ks::TBrokerClient {
 public:
  explicit TFuzzClient(std::uint64_t id) : TBrokerClient(id) {}

  ks::TByteBuffer* BeginFrame() override { return closing ? nullptr : &out; }
  void EndFrame(std::size_t start, bool) override { FuzzCheck(start <= out.Size(), "frame started past the end"); }
  bool CanDeliver() override { return !closing && !slow && out.Size() < 4096; }
  void CloseAfterFlush() override { closing = true; }
  void Refused(std::string_view) override {}
  void PauseInput(bool on) override { paused = on; }

  ks::TByteBuffer in;
  ks::TByteBuffer out;
  ks::TBrokerFrameReader reader;
  ks::TBrokerFrame frame;
  std::size_t fed = 0;
  bool closing = false;
  bool gone = false;
  bool slow = false;
  bool paused = false;
  bool errorSeen = false;  // an ERROR was written: nothing may follow it
};

// The value of the first header line "name:value" in a frame's header
// lines, if any.
std::string_view HeaderOf(std::string_view headerLines, std::string_view name) {
  std::size_t pos = 0;
  while (pos < headerLines.size()) {
    std::size_t nl = headerLines.find('\n', pos);
    if (nl == std::string_view::npos) nl = headerLines.size();
    const std::string_view line = headerLines.substr(pos, nl - pos);
    if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == ':')
      return line.substr(name.size() + 1);
    pos = nl + 1;
  }
  return {};
}

bool Has(std::string_view headerLines, std::string_view name) {
  return ("\n" + std::string(headerLines)).find("\n" + std::string(name) + ":") != std::string::npos;
}

// Cuts the client's output into frames and checks each one.
void CheckOutput(TFuzzClient& c) {
  std::string_view rest = c.out.View();
  while (!rest.empty()) {
    FuzzCheck(!c.errorSeen, "a frame follows an ERROR");
    const std::size_t blank = rest.find("\n\n");
    FuzzCheck(blank != std::string_view::npos, "output frame without a header block end");
    const std::size_t commandEnd = rest.find('\n');
    const std::string_view command = rest.substr(0, commandEnd);
    const std::string_view headers = commandEnd < blank ? rest.substr(commandEnd + 1, blank - commandEnd) : std::string_view();
    const std::string_view length = HeaderOf(headers, "content-length");
    std::size_t bodyEnd = 0;
    if (Has(headers, "content-length")) {
      std::size_t n = 0;
      for (char d : length) {
        FuzzCheck(d >= '0' && d <= '9', "content-length that is not a number");
        n = n * 10 + static_cast<std::size_t>(d - '0');
      }
      bodyEnd = blank + 2 + n;
    } else {
      bodyEnd = rest.find('\0', blank + 2);
    }
    FuzzCheck(bodyEnd != std::string_view::npos && bodyEnd + 1 < rest.size(), "output frame cut short");
    FuzzCheck(rest[bodyEnd] == '\0' && rest[bodyEnd + 1] == '\n', "output frame not ended by NUL LF");
    const std::string_view text = rest.substr(0, bodyEnd + 2);
    const auto parsed = ks::fuzz::ReferenceParse(text);
    FuzzCheck(parsed.has_value(), "output frame the reference parser does not read");
    FuzzCheck(parsed->Command == command, "reference parser read another command");
    FuzzCheck(parsed->Body == rest.substr(blank + 2, bodyEnd - blank - 2), "reference parser read another body");
    if (command == "MESSAGE") {
      FuzzCheck(Has(headers, "destination") && Has(headers, "message-id") && Has(headers, "subscription"),
                "MESSAGE without destination, message-id or subscription");
    } else if (command == "RECEIPT") {
      FuzzCheck(Has(headers, "receipt-id"), "RECEIPT without receipt-id");
    } else if (command == "ERROR") {
      FuzzCheck(Has(headers, "message"), "ERROR without message");
      c.errorSeen = true;
    } else {
      FuzzCheck(command == "CONNECTED", "unknown command written");
    }
    rest.remove_prefix(bodyEnd + 2);
  }
  c.out.Clear();
}

// What the server loop does with a connection's unread input.
void Process(ks::TBrokerEngine& engine, TFuzzClient& c) {
  while (!c.closing && !c.paused) {
    const auto result = c.reader.Next(c.in, c.frame);
    if (result == ks::TBrokerFrameReader::TResult::NeedMore) break;
    if (result == ks::TBrokerFrameReader::TResult::Error) {
      engine.OnReadError(c, c.reader.ErrorText());
      break;
    }
    FuzzCheck(c.frame.body.size() <= ks::kMaxFrameBody, "body over the limit");
    engine.OnFrame(c, c.frame);
    c.reader.Consume(c.in);
  }
  FuzzCheck(c.reader.Examined() <= 4 * c.fed + 64, "input bytes looked at too often");
}

struct TRun {
  explicit TRun(const ks::TBrokerSettings& settings) : engine(settings) {
    for (auto& c : clients) c = std::make_unique<TFuzzClient>(++nextId);
  }
  ~TRun() {
    for (auto& c : clients) End(*c);
  }

  void End(TFuzzClient& c) {
    if (c.gone) return;
    c.gone = true;
    engine.OnClientGone(c);
    CheckOutput(c);
  }

  // Ends closing connections and resumes paused ones, as the server loop
  // does after each round of events.
  void Settle() {
    for (int round = 0; round < 8; ++round) {
      bool more = false;
      for (auto& c : clients) {
        if (c->closing && !c->gone) {
          End(*c);
          more = true;
        } else if (!c->gone && !c->paused && !c->in.Empty()) {
          Process(engine, *c);
        }
      }
      FuzzCheck(engine.HeldBytes() < (std::size_t{1} << 48), "held bytes went below zero");
      if (!more) return;
    }
  }

  void Feed(TFuzzClient& c, std::string_view bytes) {
    std::size_t piece = 1;
    while (!bytes.empty() && !c.gone) {
      piece = piece % 16 + 1;
      const std::string_view part = bytes.substr(0, piece);
      bytes.remove_prefix(part.size());
      c.in.Append(part);
      c.fed += part.size();
      if (!c.paused) Process(engine, c);
      Settle();
    }
  }

  ks::TBrokerEngine engine;
  std::uint64_t nextId = 0;
  std::unique_ptr<TFuzzClient> clients[3];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  ks::TBrokerSettings settings;
  if (data[0] & 1) {
    settings.maxQueueBytes = 2048;
    settings.maxTotalBytes = 8192;
    settings.maxTopicLag = 2048;
  }
  if (data[0] & 2) {
    settings.checkLogin = settings.checkPasscode = true;
    settings.login = "u";
    settings.passcode = "p";
  }
  {
    TRun run(settings);
    std::size_t pos = 1;
    while (pos < input.size()) {
      std::size_t end = input.find('\xff', pos);
      if (end == std::string_view::npos) end = input.size();
      const std::string_view segment = input.substr(pos, end - pos);
      pos = end + 1;
      if (segment.empty()) continue;
      const auto control = static_cast<std::uint8_t>(segment[0]);
      std::unique_ptr<TFuzzClient>& slot = run.clients[control % 3];
      switch ((control / 3) % 4) {
        case 1:
          CheckOutput(*slot);
          slot->slow = false;
          if (!slot->gone) run.engine.OnClientReady(*slot);
          break;
        case 2:
          slot->slow = true;
          break;
        case 3:
          run.End(*slot);
          slot = std::make_unique<TFuzzClient>(++run.nextId);
          break;
        default:
          break;
      }
      run.Settle();
      run.Feed(*slot, segment.substr(1));
    }
    for (auto& c : run.clients) run.End(*c);
    // What is still held sits in a queue or a durable subscription, each of
    // which keeps its destination known.
    FuzzCheck(run.engine.HeldBytes() < (std::size_t{1} << 48), "held bytes went below zero");
    FuzzCheck(run.engine.DestinationCount() > 0 || run.engine.HeldBytes() == 0, "bytes held by nothing");
  }
  return 0;
}
