// The TLS adapter through the messaging interface against Cistern serving
// TLS only: the reader thread reads while two threads write on the same TLS
// connection, and every byte of bodies that span many TLS records arrives.
// Run under ThreadSanitizer with the other threaded suites.
#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsTlsFiles.hpp"
#include "tests/faults/KsFaultSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

// "<who>:<i>:" and then letters, 1 to 50 000 bytes in all: bodies from well
// under one TLS record to several, ending anywhere within one.
std::string Body(char who, int i) {
  std::string text = std::string(1, who) + ":" + std::to_string(i) + ":";
  const std::size_t length = 1 + static_cast<std::size_t>(i) * 7919 % 50000;
  for (std::size_t k = 0; text.size() < length; ++k) text.push_back(static_cast<char>('a' + (k * 7 + i) % 26));
  return text;
}

TEST(TlsAdapter, ReaderThreadAndTwoWritersShareOneTlsConnectionAndEveryByteArrives) {
  TTlsFiles tls;
  ASSERT_TRUE(tls.Made()) << tls.Failure();
  TCisternProcess broker(TlsOptions(tls.CertFile(), tls.KeyFile(), false));
  ASSERT_TRUE(broker.Started());
  ASSERT_EQ(broker.Port(), 0);  // TLS alone

  TLibraryClient client(broker.TlsUrl("?caFile=" + tls.CaFile()), "tls.shared");
  auto listener = std::make_shared<TCollector>();
  client.Consumer()->SetMessageListener(listener);  // the reader thread reads from here on
  auto otherSession = client.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto otherProducer = otherSession->CreateProducer(client.destination);

  constexpr int kEach = 120;
  std::exception_ptr otherError;
  std::thread other([&] {
    try {
      for (int i = 0; i < kEach; ++i) otherProducer->Send(otherSession->CreateTextMessage(Body('b', i)));
    } catch (...) {
      otherError = std::current_exception();
    }
  });
  for (int i = 0; i < kEach; ++i) client.SendText(Body('a', i));
  other.join();
  ASSERT_FALSE(otherError);

  ASSERT_TRUE(listener->WaitFor(2 * kEach, 60s)) << listener->Texts().size() << " messages arrived";
  std::vector<std::string> fromA;
  std::vector<std::string> fromB;
  for (const auto& text : listener->Texts()) (text[0] == 'a' ? fromA : fromB).push_back(text);
  ASSERT_EQ(fromA.size(), static_cast<std::size_t>(kEach));
  ASSERT_EQ(fromB.size(), static_cast<std::size_t>(kEach));
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(fromA[i], Body('a', i)) << "message " << i << " of the first writer";
    EXPECT_EQ(fromB[i], Body('b', i)) << "message " << i << " of the second writer";
  }
}

}  // namespace
}  // namespace ks::test
