// How SkarvelSync's allocator takes memory from the system: large bodies
// mapped and given back one by one, the many small records of a release
// from one heap grown once and backed by large pages where the system
// offers them.
//
// `tuneHeap` once, first thing in main, before any other thread starts.
// Only a tuning: the program is correct without it, and where the system
// refuses a step it is skipped.
#pragma once

namespace vantis::content {

void tuneHeap();

}  // namespace vantis::content
