// Siphon: consumes messages from one queue or topic of a STOMP broker.
// Options are --Name=value arguments (see TSiphon). Any error is printed as
// one line; the program ends with status 1 when the run ended on an error,
// 0 otherwise (in listener mode it runs until its process is ended or the
// connection is lost).
#include <clocale>
#include <memory>

#include "tools/ProgramSupport.hpp"
#include "tools/SiphonUnit.hpp"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  bool ok = false;
  {
    auto siphon = std::make_shared<ks::TSiphon>();
    ok = ks::RunReportingErrors([&] { siphon->Run(argc, argv); });
  }
  return ok ? 0 : 1;
}
