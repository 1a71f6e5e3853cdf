// Freed memory handed back to the system. A large request takes tens of times
// its size while it is served; what it freed must not stay with the program.
#pragma once

namespace corvane {

// Keeps the C library's trim threshold at its starting value (128 KiB): free
// memory at the top of an arena beyond it goes back to the system as it is
// freed. Left alone, the library raises the threshold after the first large
// block is freed, up to 64 MiB per arena, and a program that has served a few
// large requests at once holds hundreds of megabytes long after they ended:
// the malloc_trim() after a large request gives back free pages inside the
// arenas, but neither the top of a thread's arena nor what is freed after it
// ran (a connection's buffers, once its client closes it). Call once, at start.
void keepTrimThresholdFixed();

}  // namespace corvane
