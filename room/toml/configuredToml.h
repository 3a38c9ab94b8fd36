// toml++ as the project uses it: every reader of the installation file includes it through this header.
#pragma once

// Header-only, so that no build (a 32-bit one included) needs toml++'s shared library; no exceptions from it.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#define TOML_ENABLE_FORMATTERS 0
// Arrays and inline tables within one another: the file needs two levels (an inline table's array); see
// the parser's MAX_LEVELS_PER_LINE for why this bound is small.
#define TOML_MAX_NESTED_VALUES 8
// toml++ 3.3 asserts what hostile input can break ("[ #" reaches parse_key, which asserts a key starts there, then
// refuses the line anyway), and under NDEBUG it turns those assertions into __builtin_assume, which makes such input
// undefined behaviour with clang. Its assertions are off in every build, so that the refusals after them run.
#pragma push_macro("NDEBUG")
#undef NDEBUG
#define TOML_ASSERT(expr) static_assert(true)
#include <toml++/toml.h>
#pragma pop_macro("NDEBUG")
