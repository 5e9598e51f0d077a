// Inlining hints in the spelling of each compiler.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#define MOLBROOK_NOINLINE __declspec(noinline)
#define MOLBROOK_ALWAYS_INLINE __forceinline
#else
#define MOLBROOK_NOINLINE [[gnu::noinline]]
#define MOLBROOK_ALWAYS_INLINE [[gnu::always_inline]] inline
#endif
