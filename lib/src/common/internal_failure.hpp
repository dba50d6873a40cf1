#pragma once
// A broken internal invariant. Only the extension's call guard catches this
// type; it surfaces to Python as PanicException. Bad user input is never
// reported this way: that is what CoreError values are for.
#include <stdexcept>
#include <string>

namespace velkor {

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fail_invariant(const std::string& message) { throw InternalFailure(message); }

}  // namespace velkor
