#pragma once
// The task allocator: memory that one side allocates and the other side frees across an
// interface (format blocks of media types, strings handed to the caller).
#include <cstddef>

void* CoTaskMemAlloc(size_t cb);
void* CoTaskMemRealloc(void* pv, size_t cb);
void CoTaskMemFree(void* pv);  // null is allowed
