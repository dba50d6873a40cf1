#include "frame/gil.hpp"

namespace velkor::py {

int& lock_counter() {
  thread_local int count = 0;
  return count;
}

}  // namespace velkor::py
