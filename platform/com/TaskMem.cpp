#include "platform/com/TaskMem.h"

#include <cstdlib>

// A zero-byte request still gets a unique pointer, as the task allocator gives one.
void* CoTaskMemAlloc(size_t cb) { return std::malloc(cb ? cb : 1); }

void* CoTaskMemRealloc(void* pv, size_t cb) { return std::realloc(pv, cb ? cb : 1); }

void CoTaskMemFree(void* pv) { std::free(pv); }
