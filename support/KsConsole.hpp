// KsConsole: line-oriented console output and input for the programs and the
// console logger.
//
// WriteLine writes the text and its newline with a single write to standard
// output (WriteErrorLine: to standard error), so lines written by several threads never interleave and a pipe
// sees each line as soon as it is written. ReadLine reads one line from
// standard input; end of input counts as an empty line.
//
// Thread safety: both functions may be called from any thread.
#pragma once

#include <string>

namespace ks {

void WriteLine(const std::string& text);
// The same on standard error.
void WriteErrorLine(const std::string& text);

// Reads one line (without its newline) from standard input. Returns false at
// end of input (or on a read error) with line cleared.
bool ReadLine(std::string& line);

}  // namespace ks
