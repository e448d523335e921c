#include "support/KsScratch.hpp"

namespace ks {

void TKsScratchTrim<std::string>::Apply(std::string& value) {
  if (value.capacity() > kKeepLimit) std::string().swap(value);
}

}  // namespace ks
