#include "support/KsScratch.hpp"

namespace ks {

void TKsScratchTrim<std::string>::Drop(std::string& value) { std::string().swap(value); }

}  // namespace ks
