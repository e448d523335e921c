// KsTransactionContext: TKsTransactionContext, the current transaction id of
// one session and the sequence that makes the next one: "tx0", "tx1", ...
//
// Ownership: owned by its session.
// Threads: NewTransactionId draws the number atomically; the id itself is
// read and written by the session's own thread.
#pragma once

#include <string>

#include "jms/KsThreadSafe.hpp"

namespace ks {

class TKsTransactionContext {
 public:
  TKsTransactionContext() = default;
  TKsTransactionContext(const TKsTransactionContext&) = delete;
  TKsTransactionContext& operator=(const TKsTransactionContext&) = delete;

  // Sets and answers the id "tx" + the next decimal number (no padding).
  const std::string& NewTransactionId();
  const std::string& GetTransactionId() const noexcept { return transactionId_; }

 private:
  std::string transactionId_;
  TKsThreadSafeIntegerSequence sequence_;
};

}  // namespace ks
