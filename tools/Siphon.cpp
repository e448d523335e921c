// Siphon: consumes messages from one queue or topic of a STOMP broker.
// Options are --Name=value arguments (see TSiphon). Any error is printed as
// one line; the program ends with status 0 (in listener mode it runs until
// its process is ended).
#include <clocale>
#include <memory>

#include "tools/ProgramSupport.hpp"
#include "tools/SiphonUnit.hpp"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  {
    auto siphon = std::make_shared<ks::TSiphon>();
    ks::RunReportingErrors([&] { siphon->Run(argc, argv); });
  }
  return 0;
}
