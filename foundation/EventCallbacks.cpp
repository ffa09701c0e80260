// Placeholder until the full callback registry lands.
#include "foundation/EventCallbacks.h"
int32_t RegisterEventCallback(void*, EventCallback) { return 0; }
void PostEvent(const char*, const char*, ...) {}
void PostEvent(const wchar_t*, const wchar_t*, ...) {}
