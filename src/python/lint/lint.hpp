// The linter's native functions, behind molbrook.lint and lint_fix.
#pragma once

#include "base/ref.hpp"

namespace molbrook::py {

// _lint_path(path, start, end, **options): a _LintScan of the blocks of a
// mapped plain file that start in [start, end), written with their fixes
// applied through options["write"] when given; None when the file is not
// mapped (compressed, not a local regular file), to be read in chunks.
extern PyMethodDef lint_path_def;
// _lint_bytes(data, at_start, at_eof, **options): a _LintScan of the whole
// blocks of a bytes-like object.
extern PyMethodDef lint_bytes_def;

// The codes in the order the native functions number them.
Ref lint_code_names() noexcept;

}  // namespace molbrook::py
