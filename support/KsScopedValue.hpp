// KsScopedValue: TKsScopedValue, which sets a variable for the length of a
// scope and puts the earlier value back when the scope ends (also through an
// exception), so that nested scopes restore each other in order. For
// call-context marks: the frame being traced, a receive's result slot, the
// subscription being delivered.
//
// Ownership: refers to the variable, which must outlive the scope.
// Threads: as the variable; a scope is used by the thread that opened it.
// Header only: the unit is one class template.
#pragma once

#include <utility>

namespace ks {

template <class T>
class TKsScopedValue {
 public:
  TKsScopedValue(T& variable, T value) : variable_(variable), outer_(std::exchange(variable, std::move(value))) {}
  ~TKsScopedValue() { variable_ = std::move(outer_); }
  TKsScopedValue(const TKsScopedValue&) = delete;
  TKsScopedValue& operator=(const TKsScopedValue&) = delete;

 private:
  T& variable_;
  T outer_;
};

}  // namespace ks
