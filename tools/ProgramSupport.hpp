// ProgramSupport: what the main routines of both programs share.
//
// RunReportingErrors runs a program's job and prints the message text of
// any error that leaves it, alone, as one console line; nothing escapes, so
// no error ever aborts a program.
//
// Threads: called once, from the main thread.
#pragma once

#include <functional>

namespace ks {

void RunReportingErrors(const std::function<void()>& job);

}  // namespace ks
