#include "bench/e2e/KsBenchClients.hpp"

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
#include <sys/socket.h>
#include <unistd.h>

#include "bench/e2e/KsBenchPeers.hpp"
#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"

namespace ks::bench {

namespace {

using TClock = std::chrono::steady_clock;

std::int64_t NanosSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - start).count();
}

int Report(std::uint64_t count, std::int64_t elapsedNs) {
  std::printf("ok %llu %lld\n", static_cast<unsigned long long>(count), static_cast<long long>(elapsedNs));
  std::fflush(stdout);
  return 0;
}

int Failure(const std::string& text) {
  std::printf("fail %s\n", text.c_str());
  std::fflush(stdout);
  return 1;
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
    if (!options.caFile.empty()) url += "?caFile=" + options.caFile;
    auto factory = std::make_shared<TKsJMSConnectionFactory>("", "", url);
    auto connection = factory->CreateConnection();
    connection->Start();
    auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto queue = session->CreateQueue(options.queue);
    std::int64_t elapsed = 0;
    std::uint64_t done = 0;
    if (options.work == TBenchWork::Produce) {
      auto producer = session->CreateProducer(queue);
      producer->SetDeliveryMode(TDeliveryMode::NonPersistent);
      const std::string text(options.size, 'x');
      const auto start = TClock::now();
      for (; done < options.count; ++done) producer->Send(session->CreateTextMessage(text));
      elapsed = NanosSince(start);
    } else if (options.work == TBenchWork::Receive) {
      const auto start = TClock::now();
      auto consumer = session->CreateConsumer(queue);
      while (done < options.count) {
        auto message = consumer->Receive(1000);
        if (!message) break;
        ++done;
      }
      elapsed = NanosSince(start);
    } else {
      auto listener = std::make_shared<TCountingListener>(options.count);
      const auto start = TClock::now();
      auto consumer = session->CreateConsumer(queue);
      consumer->SetMessageListener(listener);
      listener->WaitFor(std::chrono::milliseconds(60000 + options.count / 5));
      elapsed = NanosSince(start);
      done = listener->Received();
    }
    connection->Close();
    if (done != options.count)
      return Failure("received " + std::to_string(done) + " of " + std::to_string(options.count));
    return Report(done, elapsed);
  } catch (const std::exception& e) {
    return Failure(e.what());
  }
}

int RunRawClient(const TClientOptions& options) {
  const int fd = DialLoopback(options.host, options.port);
  if (fd < 0) return Failure("connect failed");
  TRawReader reader(fd);
  std::string_view command;
  if (!WriteAll(fd, std::string_view("CONNECT\nlogin:\npasscode:\n\n\0\n", 28)) || !reader.Next(command) ||
      command != "CONNECTED") {
    ::close(fd);
    return Failure("no CONNECTED reply");
  }
  const std::string destination = "jms.queue." + options.queue;
  std::uint64_t done = 0;
  std::int64_t elapsed = 0;
  if (options.work == TBenchWork::Produce) {
    std::string frame = "SEND\ndestination:" + destination + "\n\n" + std::string(options.size, 'x');
    frame.push_back('\0');
    frame.push_back('\n');
    const auto start = TClock::now();
    for (; done < options.count; ++done) {
      // One system call per frame; a short write is completed like any
      // client must.
      if (!WriteAll(fd, frame)) break;
    }
    elapsed = NanosSince(start);
    if (options.confirm) {
      WriteAll(fd, std::string_view("DISCONNECT\nreceipt:fill\n\n\0\n", 27));
      while (reader.Next(command) && command != "RECEIPT") {
      }
    } else {
      WriteAll(fd, std::string_view("DISCONNECT\n\n\0\n", 14));
    }
  } else {
    const auto start = TClock::now();
    const std::string subscribe = "SUBSCRIBE\ndestination:" + destination + "\nack:auto\nid:raw-1\n\n";
    WriteAll(fd, std::string_view(subscribe.data(), subscribe.size() + 1));  // with the string's NUL
    WriteAll(fd, "\n");
    while (done < options.count && reader.Next(command)) {
      if (command == "MESSAGE") ++done;
    }
    elapsed = NanosSince(start);
    WriteAll(fd, std::string_view("DISCONNECT\n\n\0\n", 14));
  }
  ::shutdown(fd, SHUT_WR);
  ::close(fd);
  if (done != options.count) return Failure("done " + std::to_string(done) + " of " + std::to_string(options.count));
  return Report(done, elapsed);
}

}  // namespace ks::bench
