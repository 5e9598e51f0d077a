#include "base/digits.hpp"

#include <utility>
#include <vector>

#include "base/ref.hpp"

namespace molbrook::py {

const UnicodeDigits& interpreter_digits() {
  static const UnicodeDigits digits = [] {
    std::vector<char32_t> zeros;
    for (Py_UCS4 code_point = 0x80; code_point <= 0x10FFFF; ++code_point) {
      if (Py_UNICODE_TODECIMAL(code_point) == 0) zeros.push_back(code_point);
    }
    return UnicodeDigits(std::move(zeros));
  }();
  return digits;
}

}  // namespace molbrook::py
