#include "tests/common/KsTlsFiles.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/common/KsProcess.hpp"

namespace ks::test {

namespace {

const char kOpenSsl[] = "/usr/bin/openssl";

// A P-256 key and a self-signed root certificate.
std::vector<std::string> RootArgs(const std::string& name, const std::string& file) {
  return {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
          "-keyout", file + ".key", "-out", file + ".pem", "-days", "2", "-subj", "/CN=" + name};
}

}  // namespace

TTlsFiles::TTlsFiles(const std::vector<std::string>& names) {
  char tmpl[] = "/tmp/ks-tls-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    failure_ = "cannot create a temporary folder";
    return;
  }
  dir_ = tmpl;
  std::string san = "subjectAltName=";
  for (std::size_t i = 0; i < names.size(); ++i) san += (i > 0 ? "," : "") + names[i];
  std::ofstream(dir_ + "/broker.ext") << san << "\n";
  const std::string& d = dir_;
  OpenSsl(RootArgs("ksstomp test root", d + "/ca")) && OpenSsl(RootArgs("ksstomp other root", d + "/other-ca")) &&
      OpenSsl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", KeyFile(),
               "-out", d + "/broker.csr", "-subj", "/CN=ksstomp test broker"}) &&
      OpenSsl({"x509", "-req", "-in", d + "/broker.csr", "-CA", CaFile(), "-CAkey", d + "/ca.key", "-CAcreateserial",
               "-out", CertFile(), "-days", "2", "-extfile", d + "/broker.ext"});
}

TTlsFiles::~TTlsFiles() {
  if (dir_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool TTlsFiles::OpenSsl(const std::vector<std::string>& args) {
  if (!failure_.empty()) return false;
  TKsProcess openssl(kOpenSsl, args);
  openssl.CloseInput();
  const auto output = openssl.ReadAll(std::chrono::seconds(30));
  if (openssl.Wait(std::chrono::seconds(5)) == 0) return true;
  failure_ = "openssl " + args.front() + " failed:";
  for (const auto& line : output) failure_ += "\n" + line;
  return false;
}

std::string TTlsFiles::Pkcs12File(const std::string& password) {
  const std::string file = dir_ + "/broker.p12";
  if (std::filesystem::exists(file)) return file;
  if (!OpenSsl({"pkcs12", "-export", "-in", CertFile(), "-inkey", KeyFile(), "-name", "broker", "-out", file,
                "-passout", "pass:" + password})) {
    return std::string();
  }
  return file;
}

}  // namespace ks::test
