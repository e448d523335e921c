// KsJMSInterfaces: the public interfaces, value types and error classes of
// the messaging layer.
//
// Interfaces are abstract classes used through std::shared_ptr; an empty
// pointer stands for "none". Interfaces that extend another inherit it
// virtually, so one class can implement several of them.
//
// Threads: see each implementing unit. Errors are values and may cross
// threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/KsException.hpp"

namespace ks {

// ---- Errors ---------------------------------------------------------------

class EJMSException : public Exception {
 public:
  using Exception::Exception;
};

class EIllegalStateException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class ENoMessageTransformer : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class EUnsupportedOperationException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class EIllegalArgumentException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class EConfigurationException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

}  // namespace ks
