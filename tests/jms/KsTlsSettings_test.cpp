// "stomp+ssl" URLs through the connection factory: the TLS adapter with its
// default port and the TLS options from the factory and the URL, and
// certificate files that cannot be used failing Start with the file named,
// before anything is connected.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsURI.hpp"
#include "stomp/KsCommAdapter.hpp"
#include "stomp/KsStompCustomClient.hpp"
#include "tests/common/KsTlsFiles.hpp"

namespace ks {
namespace {

IStompCommAdapter& AdapterOf(const std::shared_ptr<IConnection>& connection) {
  return *std::dynamic_pointer_cast<TKsJMSConnection>(connection)->GetClient().GetAdapter();
}

TEST(TlsSettings, StompSslUrlsGetTheTlsAdapterItsPortAndTheirOptions) {
  TKsJMSConnectionFactory factory("", "",
                                  "stomp+ssl://broker.example?caFile=/ca.pem&certFile=/client.pem&keyFile=/client.key"
                                  "&serverName=other.example&verifyPeer=FALSE");
  auto connection = factory.CreateConnection();
  IStompCommAdapter& adapter = AdapterOf(connection);
  EXPECT_EQ(adapter.GetName(), "TKsCommAdapterSSL");
  EXPECT_EQ(adapter.GetURI()->GetPort(), "61612");
  const TKsSSLOptions* options = adapter.GetSSLOptions();
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(options->RootCertificateFile, "/ca.pem");
  EXPECT_EQ(options->CertificateFile, "/client.pem");
  EXPECT_EQ(options->KeyFile, "/client.key");
  EXPECT_EQ(options->ServerName, "other.example");
  EXPECT_FALSE(options->VerifyPeer);

  // The factory's options are the defaults the URL's parameters override.
  TKsJMSConnectionFactory withOptions("", "", "stomp+ssl://broker.example:7000?caFile=/url-ca.pem");
  TKsSSLOptions defaults;
  defaults.RootCertificateFile = "/factory-ca.pem";
  defaults.ServerName = "factory.example";
  withOptions.SetSSLOptions(defaults);
  auto secondConnection = withOptions.CreateConnection();
  IStompCommAdapter& second = AdapterOf(secondConnection);
  EXPECT_EQ(second.GetURI()->GetPort(), "7000");
  EXPECT_EQ(second.GetSSLOptions()->RootCertificateFile, "/url-ca.pem");
  EXPECT_EQ(second.GetSSLOptions()->ServerName, "factory.example");
  EXPECT_TRUE(second.GetSSLOptions()->VerifyPeer);

  // Plain URLs keep the TCP adapter; a verifyPeer that is not a Boolean is
  // refused.
  TKsJMSConnectionFactory plain("", "", "stomp://broker.example");
  EXPECT_EQ(AdapterOf(plain.CreateConnection()).GetName(), "TKsCommAdapterIndy");
  TKsJMSConnectionFactory bad("", "", "stomp+ssl://broker.example?verifyPeer=yes");
  EXPECT_THROW(bad.CreateConnection(), EIllegalArgumentException);
}

TEST(TlsSettings, UnusableCertificateFilesFailStartNamingTheFileBeforeConnecting) {
  test::TTlsFiles tls;
  ASSERT_TRUE(tls.Made()) << tls.Failure();
  const std::string notPem = tls.Dir() + "/not-pem.txt";
  std::ofstream(notPem) << "no certificate here\n";
  // Port 1 on loopback refuses connections: a failure that got as far as
  // connecting would say "Connection refused" instead.
  const std::string url = "stomp+ssl://127.0.0.1:1?";
  struct TCase {
    std::string parameters;
    std::string cause;
  };
  const TCase cases[] = {
      {"caFile=" + tls.Dir() + "/missing.pem", "cannot read caFile \"" + tls.Dir() + "/missing.pem\""},
      {"caFile=" + notPem, "caFile \"" + notPem + "\" holds no usable PEM certificate"},
      {"certFile=" + tls.CertFile() + "&keyFile=" + tls.Dir() + "/missing.key",
       "cannot read keyFile \"" + tls.Dir() + "/missing.key\""},
      {"certFile=" + tls.CertFile() + "&keyFile=" + notPem, "keyFile \"" + notPem + "\" holds no usable PEM private key"},
      {"certFile=" + tls.CertFile() + "&keyFile=" + tls.Dir() + "/ca.key", "is not the key of certFile"},
      {"keyFile=" + tls.KeyFile(), "given without certFile"},
  };
  for (const auto& c : cases) {
    TKsJMSConnectionFactory factory("", "", url + c.parameters);
    auto connection = factory.CreateConnection();
    try {
      connection->Start();
      ADD_FAILURE() << c.parameters << ": Start succeeded";
    } catch (const EConnectionFailedException& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find("TLS setup failed: "), std::string::npos) << text;
      EXPECT_NE(text.find(c.cause), std::string::npos) << text;
    }
    EXPECT_FALSE(AdapterOf(connection).Connected());
  }
}

}  // namespace
}  // namespace ks
