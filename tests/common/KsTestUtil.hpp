// KsTestUtil: small helpers shared by the unit suites.
#pragma once

#include <string>

namespace ks::test {

// The reply a broker sends to accept a login.
inline const std::string kConnectedFrame = std::string("CONNECTED\nsession:s1\n\n") + std::string(1, '\0') + "\n";

// Runs f and returns the message of the error of type E it raises, or
// "<no error>" when it raises none.
template <typename E, typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace ks::test
