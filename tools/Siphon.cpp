// Siphon: consumes messages from one queue or topic of a STOMP broker.
// Options are --Name=value arguments (see TSiphon); --help (any case) or -h
// lists them and ends at once. Any error is printed as one line; the program
// ends with status 1 when the run ended on an error, 0 otherwise (in listener
// mode it runs until it is stopped or the connection is lost). SIGINT and
// SIGTERM end the receiving, close the consumer, the session (a transacted
// one rolls back what it has not committed) and the connection as usual, and
// end the program by that signal.
#include <clocale>
#include <memory>

#include "tools/CommandLineSupport.hpp"
#include "tools/ProgramSupport.hpp"
#include "tools/SiphonUnit.hpp"
#include "tools/StopSignals.hpp"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  if (ks::AsksForHelp(ks::TCommandLineSupport::Arguments(argc, argv))) {
    ks::PrintHelp("Siphon",
                  "Consumes messages from a queue or topic of a STOMP broker: a number of them, until a quiet "
                  "period, or until stopped.",
                  ks::OptionsHelp<ks::TSiphon>());
    return 0;
  }
  ks::TStopSignals::Watch();
  bool ok = false;
  {
    auto siphon = std::make_shared<ks::TSiphon>();
    ks::TStopSignals::OnStop([&siphon] { siphon->RequestStop(); });
    ok = ks::RunReportingErrors([&] { siphon->Run(argc, argv); });
    ks::TStopSignals::OnStop(nullptr);
  }
  // Ends the program by the signal that stopped it, if one did.
  ks::TStopSignals::EndAtOnce();
  return ok ? 0 : 1;
}
