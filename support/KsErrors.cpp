#include "support/KsErrors.hpp"

namespace ks {

EKsSocketErrorCode::EKsSocketErrorCode(int code, const std::string& text)
    : EKsSocketError("Socket Error # " + std::to_string(code) + "\r\n" + text), code_(code) {}

}  // namespace ks
