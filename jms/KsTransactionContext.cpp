#include "jms/KsTransactionContext.hpp"

#include "support/KsText.hpp"

namespace ks {

const std::string& TKsTransactionContext::NewTransactionId() {
  transactionId_ = "tx" + IntToStr(sequence_.Next());
  return transactionId_;
}

}  // namespace ks
