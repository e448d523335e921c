// TLS with a certificate authority of your own: the broker's certificate
// must chain to a root in CA-FILE (PEM) and name the host of the URL.
//
// Usage: tls_own_ca [BROKER-URL [CA-FILE]]
//   (default stomp+ssl://localhost:61612 and ca.pem)
// The same from the URL alone: stomp+ssl://localhost:61612?caFile=ca.pem
#include <iostream>
#include <memory>
#include <string>

#include <ksstomp/jms/KsJMSConnectionFactory.hpp>
#include <ksstomp/jms/KsJMSInterfaces.hpp>
#include <ksstomp/stomp/KsSSLOptions.hpp>

int main(int argc, char** argv) {
  ks::TKsJMSConnectionFactory factory("", "", argc > 1 ? argv[1] : "stomp+ssl://localhost:61612");
  ks::TKsSSLOptions tls;
  tls.RootCertificateFile = argc > 2 ? argv[2] : "ca.pem";
  // For a broker that asks for a client certificate:
  //   tls.CertificateFile = "client.pem"; tls.KeyFile = "client.key";
  factory.SetSSLOptions(tls);
  auto connection = factory.CreateConnection();
  try {
    connection->Start();
  } catch (const ks::EConnectionFailedException& error) {
    // Names the cause: an untrusted or misnamed certificate, a port that
    // does not speak TLS, an unreadable file.
    std::cerr << error.what() << "\n";
    return 1;
  }
  auto session = connection->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("ksstomp.example.tls");
  auto consumer = session->CreateConsumer(queue);
  session->CreateProducer(queue)->Send(session->CreateTextMessage("Encrypted on the way"));
  auto message = std::dynamic_pointer_cast<ks::ITextMessage>(consumer->Receive(5000));
  connection->Close();
  if (!message) return 1;
  std::cout << "Received over TLS: " << message->GetText() << "\n";
  return 0;
}
