// Stock Lua 5.4.2 for the benchmarks' baselines: built from the same tarball as the dialect, as
// C with the same flags, and reached only through these functions.
#pragma once
#include <cstddef>

// Runs `code` once in a fresh state with the standard libraries. Returns the seconds spent
// running the compiled chunk (compiling it is not timed), or -1 when it fails. `result` gets
// the chunk's first result as text, or the error message.
double run_stock(const char* code, size_t code_size, char* result, size_t result_size);

// Seconds to compile and run "return " followed by `text` (a table constructor) in a stock
// state, the best of `rounds`; -1 when it fails. The state has a `userdata(type, width,
// [height,] hex)` that makes a full userdata of the elements' bytes from their hex digits,
// the work the dialect's constructor of typed arrays does for such text.
double time_stock_load(const char* text, size_t length, int rounds);

// Seconds for one call f(n) of the function that `code` returns, in a stock state with the
// standard libraries: the median of `runs` calls after a first one; -1 when it fails.
double time_stock_calls(const char* code, size_t code_size, long long n, int runs);
