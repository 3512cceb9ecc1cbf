// Joins values for one comparison in the protocol tests, so that a failing
// check shows every field at once instead of stopping at the first.
#ifndef KVR_TESTS_PROTOCOL_TEST_JOIN_H_
#define KVR_TESTS_PROTOCOL_TEST_JOIN_H_

#include <sstream>
#include <string>

#include "io/auto_buffer.h"
#include "svrframe/referable.h"

namespace kvr_test {

// The values with a '|' after each. Arguments are taken by reference, so
// out-parameters filled by other arguments' calls are read after all calls.
template <class... T>
std::string Join(const T&... values) {
  std::ostringstream out;
  const auto put = [&out](const auto& value) {
    if constexpr (requires { value.c_str(); }) {
      out << value.c_str() << '|';
    } else {
      out << value << '|';
    }
  };
  (put(values), ...);
  return out.str();
}

// The bytes of a printed message, "<null>" when there are none.
inline std::string Text(const CReferPtr<CAutoBuffer>& buffer) {
  return buffer ? std::string(buffer->Data(), static_cast<size_t>(buffer->Size())) : "<null>";
}

}  // namespace kvr_test

#endif  // KVR_TESTS_PROTOCOL_TEST_JOIN_H_
