// Spigot: publishes text messages to one queue or topic of a STOMP broker.
// Options are --Name=value arguments (see TSpigot). Whatever happens, the
// program prints any error as one line, waits for Enter (end of input counts
// as Enter) and ends with status 0.
#include <clocale>
#include <string>

#include "support/KsConsole.hpp"
#include "tools/ProgramSupport.hpp"
#include "tools/SpigotUnit.hpp"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  {
    ks::TSpigot spigot;
    ks::RunReportingErrors([&] { spigot.Run(argc, argv); });
    std::string line;
    ks::ReadLine(line);
  }
  return 0;
}
