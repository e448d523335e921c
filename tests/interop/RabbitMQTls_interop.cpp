// Spigot and Siphon over STOMP over TLS through RabbitMQ's TLS listener,
// which serves a certificate the test made from its own test root: the
// broker's certificate is verified against that root and its name, and
// every message arrives in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/interop/KsInteropSupport.hpp"

namespace ks::test {
namespace {

TEST(RabbitMQTlsInterop, SpigotReachesSiphonThroughTheTlsListener) {
  KS_REQUIRE_PEER(RabbitMQUnavailableReason());
  const TTlsFiles* tls = SharedRabbitMQTls();
  ASSERT_NE(tls, nullptr) << "the test certificates could not be made";
  TRabbitMQProcess& broker = SharedRabbitMQ();
  ASSERT_TRUE(broker.Started()) << broker.Failure();
  ASSERT_NE(broker.SslPort(), 0);

  const std::string url = "--URL=" + broker.SslUrl("?dialect=rabbitmq&caFile=" + tls->CaFile());
  EXPECT_EQ(SpigotToSiphon(url, "Interop.Tls", 20, 30000), "");

  // A client that trusts another root refuses the broker.
  auto untrusted = RunProgram("tools/Spigot", {"--URL=" + broker.SslUrl("?caFile=" + tls->OtherCaFile()),
                                               "--MessageCount=1"});
  EXPECT_EQ(untrusted.status, 1) << untrusted.Output();
  EXPECT_NE(untrusted.Output().find("is not trusted"), std::string::npos) << untrusted.Output();
}

}  // namespace
}  // namespace ks::test
