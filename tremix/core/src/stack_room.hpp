// Room left on the calling thread's stack. The interpreter limits how deep
// Python code recurses by counting frames, not bytes: recursion that passes
// through this module (an override of get_blocks that calls an extractor
// again, an __int__ that calls the method it is an argument of, a stream's
// read() that reads a stream again) costs C stack on every level, and a
// thread with a small stack, or a recursion limit raised high, would run
// out of stack before the count ends it. Checked wherever the module calls
// Python code that may call it again.
#pragma once

#include "pyref.hpp"

namespace tremix {

// True when the calling thread's stack has room for another call into
// Python code; otherwise false with RecursionError set.
bool stack_room_left();

}  // namespace tremix
