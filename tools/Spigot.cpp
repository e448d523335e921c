// Spigot: publishes text messages to one queue or topic of a STOMP broker.
// Options are --Name=value arguments (see TSpigot); --help (any case) or -h
// lists them and ends at once. Whatever happens, the program prints any
// error as one line and waits for Enter (end of input counts as Enter); it
// ends with status 1 when the run ended on an error (including a lost
// connection or a close the broker did not confirm), 0 otherwise. SIGINT and
// SIGTERM stop the sending, close the connection as usual and end the
// program by that signal, without waiting for Enter.
#include <clocale>
#include <string>

#include "support/KsConsole.hpp"
#include "tools/CommandLineSupport.hpp"
#include "tools/ProgramSupport.hpp"
#include "tools/SpigotUnit.hpp"
#include "tools/StopSignals.hpp"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  if (ks::AsksForHelp(ks::TCommandLineSupport::Arguments(argc, argv))) {
    ks::PrintHelp("Spigot", "Publishes text messages to a queue or topic of a STOMP broker, then waits for Enter.",
                  ks::OptionsHelp<ks::TSpigot>());
    return 0;
  }
  ks::TStopSignals::Watch();
  bool ok = false;
  {
    ks::TSpigot spigot;
    ks::TStopSignals::OnStop([&spigot] { spigot.RequestStop(); });
    ok = ks::RunReportingErrors([&] { spigot.Run(argc, argv); });
    ks::TStopSignals::OnStop(nullptr);
    // Nothing is left to close: a signal that came ends the program now,
    // and one that comes while it waits for Enter as well.
    ks::TStopSignals::EndAtOnce();
    std::string line;
    ks::ReadLine(line);
  }
  return ok ? 0 : 1;
}
