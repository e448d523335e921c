// KsTlsFiles: TLS material for tests that run a broker over TLS, made with
// the `openssl` program in a fresh temporary folder (about 0.1 s):
//
//   CaFile()       a test root certificate (PEM): give it to clients as caFile;
//   CertFile()     the broker's certificate, signed by that root, valid for
//   KeyFile()      the names given (default localhost and 127.0.0.1), and its
//                  unencrypted private key (PEM): give both to the broker;
//   OtherCaFile()  a second root that signed nothing: a client trusting only
//                  it must refuse the broker (the "wrong CA" case).
//
// To serve TLS from a broker in a test: TTlsFiles tls; then Cistern with
// TlsOptions(tls.CertFile(), tls.KeyFile()) (KsCisternProcess.hpp), or any
// broker that takes PEM files (certificate, key, CA); clients connect to
// "stomp+ssl://127.0.0.1:PORT?caFile=" + tls.CaFile(). Pkcs12File() bundles
// certificate and key for Java brokers.
//
// The destructor removes the folder. Threads: one thread.
#pragma once

#include <string>
#include <vector>

namespace ks::test {

class TTlsFiles {
 public:
  // names: subjectAltName entries ("DNS:localhost", "IP:127.0.0.1").
  explicit TTlsFiles(const std::vector<std::string>& names = {"DNS:localhost", "IP:127.0.0.1"});
  ~TTlsFiles();
  TTlsFiles(const TTlsFiles&) = delete;
  TTlsFiles& operator=(const TTlsFiles&) = delete;

  // True when every file was made; otherwise Failure() says what failed.
  bool Made() const { return failure_.empty(); }
  const std::string& Failure() const { return failure_; }

  const std::string& Dir() const { return dir_; }
  std::string CaFile() const { return dir_ + "/ca.pem"; }
  std::string CertFile() const { return dir_ + "/broker.pem"; }
  std::string KeyFile() const { return dir_ + "/broker.key"; }
  std::string OtherCaFile() const { return dir_ + "/other-ca.pem"; }
  // CertFile and KeyFile as a PKCS12 keystore with this password, made on
  // first call; empty (with Failure() set) when that fails.
  std::string Pkcs12File(const std::string& password);

 private:
  // Runs openssl with args; false (and Failure() set) when it fails.
  bool OpenSsl(const std::vector<std::string>& args);

  std::string dir_;
  std::string failure_;
};

}  // namespace ks::test
