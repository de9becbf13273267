// Allocation that ends the process with "memory exhausted" when it fails.
#pragma once

#include <cstddef>

namespace tevu::condition {

[[noreturn]] void fail_out_of_memory();

// malloc that never returns null for a non-zero size.
void* checked_alloc(std::size_t size);

// Makes failed operator new end the process through fail_out_of_memory.
void install_out_of_memory_handler();

}  // namespace tevu::condition
