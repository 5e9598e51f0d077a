// The decimal digits that int() and float() of this interpreter read in a
// str: the one list that typed table columns and number sort keys share.
#pragma once

#include "core/text/number.hpp"

namespace molbrook::py {

// Listed once from the interpreter's own Unicode database; needs the
// interpreter lock the first time.
const UnicodeDigits& interpreter_digits();

}  // namespace molbrook::py
