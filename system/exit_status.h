// How both programs end, as their --help texts say: 0 done, 1 a file could
// not be read or written, 2 a bad command line (or, for pluck-render, a bad
// score line).
#pragma once

namespace pluck {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

}  // namespace pluck
