// Overflow-tested unsigned arithmetic. Every size, length and counter sum of
// the library goes through SafeInt; a failure throws SafeIntException, which
// callers turn into a library error with RaiseArithmeticError.
#pragma once
#include <cstdint>
#include <limits>
#include <type_traits>

#include "platform/win.h"

namespace Corvu {

class SafeIntException {
 public:
  explicit SafeIntException(DWORD code) : m_dwCode(code) {}
  DWORD Code() const { return m_dwCode; }

 private:
  DWORD m_dwCode;  // ERROR_ARITHMETIC_OVERFLOW or EXCEPTION_INT_DIVIDE_BY_ZERO
};

template <class T>
class SafeInt {
  static_assert(std::is_integral<T>::value && std::is_unsigned<T>::value,
                "SafeInt guards unsigned integers");

 public:
  SafeInt() : m_value(0) {}
  SafeInt(T value) : m_value(value) {}  // NOLINT: implicit on purpose

  T Value() const { return m_value; }

  static T Add(T a, T b) {
    T r = static_cast<T>(a + b);
    if (r < a) throw SafeIntException(ERROR_ARITHMETIC_OVERFLOW);
    return r;
  }
  static T Sub(T a, T b) {
    if (b > a) throw SafeIntException(ERROR_ARITHMETIC_OVERFLOW);
    return static_cast<T>(a - b);
  }
  static T Mul(T a, T b) {
    if (a != 0 && b > std::numeric_limits<T>::max() / a)
      throw SafeIntException(ERROR_ARITHMETIC_OVERFLOW);
    return static_cast<T>(a * b);
  }
  static T Div(T a, T b) {
    if (b == 0) throw SafeIntException(EXCEPTION_INT_DIVIDE_BY_ZERO);
    return static_cast<T>(a / b);
  }
  // Narrows a wider unsigned value (a size_t length, say) into T.
  template <class U>
  static T From(U value) {
    static_assert(std::is_unsigned<U>::value, "unsigned source");
    if (value > static_cast<U>(std::numeric_limits<T>::max()))
      throw SafeIntException(ERROR_ARITHMETIC_OVERFLOW);
    return static_cast<T>(value);
  }

  SafeInt& operator+=(SafeInt o) {
    m_value = Add(m_value, o.m_value);
    return *this;
  }
  SafeInt& operator-=(SafeInt o) {
    m_value = Sub(m_value, o.m_value);
    return *this;
  }
  SafeInt& operator*=(SafeInt o) {
    m_value = Mul(m_value, o.m_value);
    return *this;
  }
  SafeInt& operator/=(SafeInt o) {
    m_value = Div(m_value, o.m_value);
    return *this;
  }
  friend SafeInt operator+(SafeInt a, SafeInt b) { return SafeInt(Add(a.m_value, b.m_value)); }
  friend SafeInt operator-(SafeInt a, SafeInt b) { return SafeInt(Sub(a.m_value, b.m_value)); }
  friend SafeInt operator*(SafeInt a, SafeInt b) { return SafeInt(Mul(a.m_value, b.m_value)); }
  friend SafeInt operator/(SafeInt a, SafeInt b) { return SafeInt(Div(a.m_value, b.m_value)); }

 private:
  T m_value;
};

typedef SafeInt<DWORD> SafeDword;

}  // namespace Corvu
