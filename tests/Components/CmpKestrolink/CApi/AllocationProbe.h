// The test program's own operator new and delete, which count the
// allocations of the calling thread and tell whether watched addresses were
// freed: how the tests see which objects and events the SDK makes and
// deletes without looking inside it.
#pragma once

namespace allocprobe {

// Allocations made by the calling thread so far.
long Allocations();
// Starts watching an address (again): Freed is false until it is freed.
void Watch(const void* p);
bool Freed(const void* p);
// Stops watching everything.
void UnwatchAll();

}  // namespace allocprobe
