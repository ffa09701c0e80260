#pragma once
// A system library opened the first time it is needed instead of linked: a publication that never
// captures packets or looks a proxy up never maps it, nor what it brings along.
namespace net {

// The library's handle (kept for the process), or null with the reason logged for `who`.
void* OpenSharedLibrary(const char* soname, const char* who);

}  // namespace net
