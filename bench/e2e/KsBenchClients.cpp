#include "bench/e2e/KsBenchClients.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/e2e/KsBenchPeers.hpp"
#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"

namespace ks::bench {

namespace {

using TClock = std::chrono::steady_clock;

std::int64_t NanosSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - start).count();
}

// The page faults of this process so far (minor and major).
long PageFaults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt + usage.ru_majflt;
}

// The work's clock and page-fault count, started together.
struct TMeasure {
  TClock::time_point start = TClock::now();
  long faults = PageFaults();
  void Restart() {
    faults = PageFaults();
    start = TClock::now();
  }
};

int Report(std::uint64_t count, std::int64_t elapsedNs, long faults) {
  std::printf("ok %llu %lld %ld\n", static_cast<unsigned long long>(count), static_cast<long long>(elapsedNs),
              faults);
  std::fflush(stdout);
  return 0;
}

int Failure(const std::string& text) {
  std::printf("fail %s\n", text.c_str());
  std::fflush(stdout);
  return 1;
}

// The "ok" line and the latency line of a request/reply run.
int ReportLatency(std::vector<std::int64_t>& samples, std::int64_t elapsedNs) {
  std::sort(samples.begin(), samples.end());
  auto at = [&samples](double q) {
    const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return static_cast<long long>(samples[std::min(i, samples.size() - 1)]);
  };
  std::printf("ok %llu %lld 0\nlatency %lld %lld %lld\n", static_cast<unsigned long long>(samples.size()),
              static_cast<long long>(elapsedNs), at(0.5), at(0.99), at(0.999));
  std::fflush(stdout);
  return 0;
}

// Answers every request with a message of the same size on the reply queue,
// from the responder connection's reader thread.
class TResponder : public IMessageListener {
 public:
  TResponder(std::shared_ptr<ISession> session, std::shared_ptr<IMessageProducer> producer, std::size_t size)
      : session_(std::move(session)), producer_(std::move(producer)), text_(size, 'y') {}
  void OnMessage(const std::shared_ptr<IMessage>& message) override {
    if (message) producer_->Send(session_->CreateTextMessage(text_));
  }

 private:
  std::shared_ptr<ISession> session_;
  std::shared_ptr<IMessageProducer> producer_;
  std::string text_;
};

int RunLibraryRequestReply(IConnectionFactory& factory, const TClientOptions& options) {
  auto responderConnection = factory.CreateConnection();
  responderConnection->Start();
  auto responderSession = responderConnection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto replies = responderSession->CreateProducer(responderSession->CreateQueue(options.queue + ".rep"));
  auto requests = responderSession->CreateConsumer(responderSession->CreateQueue(options.queue + ".req"));
  requests->SetMessageListener(std::make_shared<TResponder>(responderSession, replies, options.size));

  auto connection = factory.CreateConnection();
  connection->Start();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue(options.queue + ".req"));
  auto consumer = session->CreateConsumer(session->CreateQueue(options.queue + ".rep"));
  const std::string text(options.size, 'x');
  std::vector<std::int64_t> samples;
  samples.reserve(options.count);
  const auto start = TClock::now();
  for (std::uint64_t i = 0; i < options.count; ++i) {
    const auto sent = TClock::now();
    producer->Send(session->CreateTextMessage(text));
    if (!consumer->Receive(5000)) break;
    samples.push_back(NanosSince(sent));
  }
  const std::int64_t elapsed = NanosSince(start);
  connection->Close();
  responderConnection->Close();
  if (samples.size() != options.count)
    return Failure("answered " + std::to_string(samples.size()) + " of " + std::to_string(options.count));
  return ReportLatency(samples, elapsed);
}

class TCountingListener : public IMessageListener {
 public:
  explicit TCountingListener(std::uint64_t target) : target_(target) {}
  void OnMessage(const std::shared_ptr<IMessage>& message) override {
    if (!message) return;
    if (received_.fetch_add(1, std::memory_order_relaxed) + 1 == target_) {
      std::lock_guard<std::mutex> lock(mutex_);
      reached_.notify_all();
    }
  }
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return reached_.wait_for(lock, timeout, [this] { return received_.load() >= target_; });
  }
  std::uint64_t Received() const { return received_.load(); }

 private:
  std::uint64_t target_;
  std::atomic<std::uint64_t> received_{0};
  std::mutex mutex_;
  std::condition_variable reached_;
};

// Raw client: reads the next whole frame's command from the stream, splitting
// in place; answers false at the end of the stream.
class TRawReader {
 public:
  explicit TRawReader(int fd) : fd_(fd) { buffer_.resize(kChunk); }

  bool Next(std::string_view& command) {
    for (;;) {
      while (begin_ < end_ && (buffer_[begin_] == '\n' || buffer_[begin_] == '\r')) ++begin_;
      if (begin_ < end_ && Cut(command)) return true;
      if (begin_ == end_) {
        begin_ = end_ = 0;
      } else if (end_ == buffer_.size()) {
        // Move the partial frame to the front (or grow for a huge frame).
        if (begin_ == 0) buffer_.resize(buffer_.size() * 2);
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      const ssize_t n = ::recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
      if (n <= 0) return false;
      end_ += static_cast<std::size_t>(n);
    }
  }

 private:
  static constexpr std::size_t kChunk = 256 * 1024;

  bool Cut(std::string_view& command) {
    const std::string_view data(buffer_.data() + begin_, end_ - begin_);
    const std::size_t headerEnd = data.find("\n\n");
    if (headerEnd == std::string_view::npos) return false;
    std::size_t length = 0;
    bool haveLength = false;
    static constexpr std::string_view kLength = "\ncontent-length:";
    const std::size_t at = data.substr(0, headerEnd + 1).find(kLength);
    if (at != std::string_view::npos) {
      haveLength = true;
      for (std::size_t i = at + kLength.size(); i < headerEnd && data[i] >= '0' && data[i] <= '9'; ++i)
        length = length * 10 + static_cast<std::size_t>(data[i] - '0');
    }
    const std::size_t bodyStart = headerEnd + 2;
    std::size_t frameEnd;
    if (haveLength) {
      if (data.size() < bodyStart + length + 1) return false;
      frameEnd = bodyStart + length + 1;
    } else {
      const void* nul = std::memchr(data.data() + bodyStart, '\0', data.size() - bodyStart);
      if (nul == nullptr) return false;
      frameEnd = static_cast<std::size_t>(static_cast<const char*>(nul) - data.data()) + 1;
    }
    command = data.substr(0, data.find('\n'));
    begin_ += frameEnd;
    return true;
  }

  int fd_;
  std::string buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace

int RunLibraryClient(const TClientOptions& options) {
  try {
    std::string url = (options.caFile.empty() ? "stomp://" : "stomp+ssl://") + options.host + ":" +
                      std::to_string(options.port);
    std::string query;
    if (options.batch) query += "&batchSend=true";
    if (!options.caFile.empty()) query += "&caFile=" + options.caFile;
    if (!options.query.empty()) query += "&" + options.query;
    if (options.failover) url = "failover:(" + url + ")";
    if (!query.empty()) url += "?" + query.substr(1);
    auto factory = std::make_shared<TKsJMSConnectionFactory>("", "", url);
    if (options.work == TBenchWork::RequestReply) return RunLibraryRequestReply(*factory, options);
    auto connection = factory->CreateConnection();
    connection->Start();
    auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto queue = session->CreateQueue(options.queue);
    std::int64_t elapsed = 0;
    long faults = 0;
    std::uint64_t done = 0;
    if (options.work == TBenchWork::Produce) {
      auto producer = session->CreateProducer(queue);
      producer->SetDeliveryMode(TDeliveryMode::NonPersistent);
      const std::string text(options.size, 'x');
      TMeasure measure;
      for (; done < options.count; ++done) producer->Send(session->CreateTextMessage(text));
      elapsed = NanosSince(measure.start);
      faults = PageFaults() - measure.faults;
    } else if (options.work == TBenchWork::Receive) {
      TMeasure measure;
      auto consumer = session->CreateConsumer(queue);
      while (done < options.count) {
        auto message = consumer->Receive(1000);
        if (!message) break;
        ++done;
      }
      elapsed = NanosSince(measure.start);
      faults = PageFaults() - measure.faults;
    } else {
      auto listener = std::make_shared<TCountingListener>(options.count);
      TMeasure measure;
      std::vector<std::shared_ptr<IMessageConsumer>> consumers;
      for (std::size_t i = 0; i < options.consumers; ++i) {
        consumers.push_back(session->CreateConsumer(queue));
        consumers.back()->SetMessageListener(listener);
      }
      if (options.consumers > 1) measure.Restart();
      listener->WaitFor(std::chrono::milliseconds(60000 + options.count / 5));
      elapsed = NanosSince(measure.start);
      faults = PageFaults() - measure.faults;
      done = listener->Received();
    }
    connection->Close();
    if (done != options.count)
      return Failure("received " + std::to_string(done) + " of " + std::to_string(options.count));
    return Report(done, elapsed, faults);
  } catch (const std::exception& e) {
    return Failure(e.what());
  }
}

namespace {

// Connects and logs in; -1 when that failed.
int RawLogin(TRawReader& reader, int fd) {
  std::string_view command;
  if (fd < 0) return -1;
  if (!WriteAll(fd, std::string_view("CONNECT\nlogin:\npasscode:\n\n\0\n", 28)) || !reader.Next(command) ||
      command != "CONNECTED") {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string RawSubscribe(const std::string& destination, const std::string& id) {
  return "SUBSCRIBE\ndestination:" + destination + "\nack:auto\nid:" + id + "\n\n" + std::string(1, '\0') + "\n";
}

std::string RawSend(const std::string& destination, std::size_t size, char fill) {
  std::string frame = "SEND\ndestination:" + destination + "\n\n" + std::string(size, fill);
  frame.push_back('\0');
  frame.push_back('\n');
  return frame;
}

int RunRawRequestReply(const TClientOptions& options) {
  const int responderFd = DialLoopback(options.host, options.port);
  TRawReader responderReader(responderFd);
  if (RawLogin(responderReader, responderFd) < 0) return Failure("responder: no CONNECTED reply");
  const int fd = DialLoopback(options.host, options.port);
  TRawReader reader(fd);
  if (RawLogin(reader, fd) < 0) {
    ::close(responderFd);
    return Failure("no CONNECTED reply");
  }
  const std::string request = "jms.queue." + options.queue + ".req";
  const std::string reply = "jms.queue." + options.queue + ".rep";
  WriteAll(responderFd, RawSubscribe(request, "raw-req"));
  WriteAll(fd, RawSubscribe(reply, "raw-rep"));
  std::thread responder([&] {
    const std::string answer = RawSend(reply, options.size, 'y');
    std::string_view command;
    for (std::uint64_t answered = 0; answered < options.count && responderReader.Next(command);) {
      if (command != "MESSAGE") continue;
      if (!WriteAll(responderFd, answer)) break;
      ++answered;
    }
  });
  const std::string frame = RawSend(request, options.size, 'x');
  std::vector<std::int64_t> samples;
  samples.reserve(options.count);
  std::string_view command;
  const auto start = TClock::now();
  for (std::uint64_t i = 0; i < options.count; ++i) {
    const auto sent = TClock::now();
    if (!WriteAll(fd, frame)) break;
    bool answered = false;
    while (reader.Next(command)) {
      if (command == "MESSAGE") {
        answered = true;
        break;
      }
    }
    if (!answered) break;
    samples.push_back(NanosSince(sent));
  }
  const std::int64_t elapsed = NanosSince(start);
  WriteAll(fd, std::string_view("DISCONNECT\n\n\0\n", 14));
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  if (samples.size() != options.count) ::shutdown(responderFd, SHUT_RDWR);  // ends the responder's read
  responder.join();
  WriteAll(responderFd, std::string_view("DISCONNECT\n\n\0\n", 14));
  ::shutdown(responderFd, SHUT_WR);
  ::close(responderFd);
  if (samples.size() != options.count)
    return Failure("answered " + std::to_string(samples.size()) + " of " + std::to_string(options.count));
  return ReportLatency(samples, elapsed);
}

}  // namespace

int RunRawClient(const TClientOptions& options) {
  if (options.work == TBenchWork::RequestReply) return RunRawRequestReply(options);
  const int fd = DialLoopback(options.host, options.port);
  if (fd < 0) return Failure("connect failed");
  TRawReader reader(fd);
  std::string_view command;
  if (RawLogin(reader, fd) < 0) return Failure("no CONNECTED reply");
  const std::string destination = "jms.queue." + options.queue;
  std::uint64_t done = 0;
  std::int64_t elapsed = 0;
  long faults = 0;
  if (options.work == TBenchWork::Produce) {
    const std::string frame = RawSend(destination, options.size, 'x');
    TMeasure measure;
    if (options.buffered) {
      // Frames gathered in user space, one system call per 64 KiB (a frame
      // larger than that is written on its own, from where it lies).
      constexpr std::size_t kBuffer = 64 * 1024;
      std::string buffer;
      buffer.reserve(kBuffer);
      for (; done < options.count; ++done) {
        if (buffer.size() + frame.size() > kBuffer) {
          if (!WriteAll(fd, buffer)) break;
          buffer.clear();
        }
        if (frame.size() >= kBuffer) {
          if (!WriteAll(fd, frame)) break;
        } else {
          buffer += frame;
        }
      }
      if (!WriteAll(fd, buffer)) done = 0;
    } else {
      for (; done < options.count; ++done) {
        // One system call per frame; a short write is completed like any
        // client must.
        if (!WriteAll(fd, frame)) break;
      }
    }
    elapsed = NanosSince(measure.start);
    faults = PageFaults() - measure.faults;
    if (options.confirm) {
      WriteAll(fd, std::string_view("DISCONNECT\nreceipt:fill\n\n\0\n", 27));
      while (reader.Next(command) && command != "RECEIPT") {
      }
    } else {
      WriteAll(fd, std::string_view("DISCONNECT\n\n\0\n", 14));
    }
  } else {
    TMeasure measure;
    for (std::size_t i = 0; i < options.consumers; ++i) {
      WriteAll(fd, RawSubscribe(destination, "raw-" + std::to_string(i + 1)));
    }
    if (options.consumers > 1) measure.Restart();
    while (done < options.count && reader.Next(command)) {
      if (command == "MESSAGE") ++done;
    }
    elapsed = NanosSince(measure.start);
    faults = PageFaults() - measure.faults;
    WriteAll(fd, std::string_view("DISCONNECT\n\n\0\n", 14));
  }
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  if (done != options.count) return Failure("done " + std::to_string(done) + " of " + std::to_string(options.count));
  return Report(done, elapsed, faults);
}

}  // namespace ks::bench
