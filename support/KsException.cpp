#include "support/KsException.hpp"

#include <cstdio>
#include <cstring>

namespace ks {

std::string UnitNameOf(const char* file) {
  std::string path = file ? file : "";
  std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos) path.erase(0, slash + 1);
  std::size_t dot = path.find('.');
  if (dot != std::string::npos) path.erase(dot);
  return path;
}

void RaiseAssertion(const char* text, const char* file, int line) {
  std::string unit = UnitNameOf(file);
  std::string message = text ? text : "Assertion failure";
  char lineText[32];
  std::snprintf(lineText, sizeof lineText, "%d", line);
  throw EAssertionFailed(message + " (" + unit + ", line " + lineText + ")");
}

}  // namespace ks
