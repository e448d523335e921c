// Spigot: publishes text messages to one queue or topic of a STOMP broker.
// Options are --Name=value arguments (see TSpigot). Whatever happens, the
// program prints any error as one line and waits for Enter (end of input
// counts as Enter); it ends with status 1 when the run ended on an error
// (including a lost connection or a close the broker did not confirm), 0
// otherwise.
#include <clocale>
#include <string>

#include "support/KsConsole.hpp"
#include "tools/ProgramSupport.hpp"
#include "tools/SpigotUnit.hpp"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  bool ok = false;
  {
    ks::TSpigot spigot;
    ok = ks::RunReportingErrors([&] { spigot.Run(argc, argv); });
    std::string line;
    ks::ReadLine(line);
  }
  return ok ? 0 : 1;
}
