#pragma once

namespace nocta {

// Tunes the C library's allocator for a process that makes and frees
// frames of several megabytes all the time: such blocks are kept in the
// heap for reuse rather than given back to the system and faulted in
// again, and one heap serves all threads. Call it first thing in main, in
// programs that run the filters; the library itself never changes the
// allocator. Does nothing where the C library has no such settings.
void tuneMemoryForFrames();

} // namespace nocta
