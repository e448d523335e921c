// Spigot and Siphon over STOMP over TLS through ActiveMQ's "stomp+ssl"
// connector, which serves a PKCS12 keystore the test makes from its own test
// root: the broker's certificate is verified against that root and its
// name, and every message arrives in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/KsTlsFiles.hpp"
#include "tests/interop/KsInteropSupport.hpp"

namespace ks::test {
namespace {

TEST(ActiveMQTlsInterop, SpigotReachesSiphonThroughTheStompSslConnector) {
  KS_REQUIRE_PEER(ActiveMQUnavailableReason());
  TTlsFiles tls;
  ASSERT_TRUE(tls.Made()) << tls.Failure();
  const std::string keyStore = tls.Pkcs12File("interop-secret");
  ASSERT_FALSE(keyStore.empty()) << tls.Failure();
  TActiveMQProcess broker(false, std::chrono::seconds(60), {keyStore, "interop-secret"});
  ASSERT_TRUE(broker.Started()) << broker.Failure();

  const std::string url = "--URL=" + broker.SslUrl("?caFile=" + tls.CaFile());
  EXPECT_EQ(SpigotToSiphon(url, "Interop.Tls", 20, 30000), "");

  // ActiveMQ's certificate names 127.0.0.1 and localhost only.
  auto misnamed = RunProgram("tools/Spigot", {url + "&serverName=broker.elsewhere.example", "--MessageCount=1"});
  EXPECT_EQ(misnamed.status, 1) << misnamed.Output();
  EXPECT_NE(misnamed.Output().find("is not valid for \"broker.elsewhere.example\""), std::string::npos)
      << misnamed.Output();
}

}  // namespace
}  // namespace ks::test
