// How many of the stb libraries' allocations have failed in this process
// (stb_image_impl.cpp routes them all through one counter): a call that fails
// while the count grows ran out of memory.
#pragma once

#include <cstdint>

uint64_t StbFailedAllocations();
