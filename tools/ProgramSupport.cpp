#include "tools/ProgramSupport.hpp"

#include <exception>

#include "support/KsConsole.hpp"
#include "support/KsException.hpp"

namespace ks {

void RunReportingErrors(const std::function<void()>& job) {
  try {
    job();
  } catch (const Exception& e) {
    WriteLine(e.Message());
  } catch (const std::exception& e) {
    WriteLine(e.what());
  } catch (...) {
    WriteLine("Unknown error");
  }
}

}  // namespace ks
