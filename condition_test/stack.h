// The stack of one run, reserved before anything else, so that running out of it is reported like
// any other exhaustion instead of ending the process by a signal.
#pragma once

namespace tevu::condition {

// Grows the stack below the caller to what the rest of the run needs, touching every page now, or
// ends the process through fail_out_of_memory when it cannot grow (an address-space or stack limit,
// no memory left to commit). The arguments can fill the stack the process starts with, so under a
// limit the pages further down may be out of reach later; once reserved, they stay.
void reserve_run_stack();

}  // namespace tevu::condition
