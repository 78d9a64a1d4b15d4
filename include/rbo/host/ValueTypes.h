// Wrapped values of the host's database and object store.
//
// A wrapped value converts to its plain type and is assignable from it, so
// `db.m_nRandVars = 2;` and `int n = db.m_nRandVars;` both work.
#pragma once

#include <cstdint>

template <class T>
class vbValue {
 public:
  vbValue(T value = T()) : m_value(value) {}  // NOLINT(google-explicit-constructor): a wrapped value is its plain value
  operator T() const { return m_value; }      // NOLINT(google-explicit-constructor)
  vbValue& operator=(T value) {
    m_value = value;
    return *this;
  }

 private:
  T m_value;  ///< the plain value
};

using vbINT32 = vbValue<std::int32_t>;
using vbUINT32 = vbValue<std::uint32_t>;
using vbFLOAT64 = vbValue<double>;
