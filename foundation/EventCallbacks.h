#pragma once
// Text events for the host: "info", "warning", "error" plus a message, delivered to every
// registered callback on the posting thread, in registration order.
#include <cstdint>

using EventCallback = int (*)(void* context, const wchar_t* category, const wchar_t* message);

// 0 when registered or already present, 1 when the registry is full (255 entries).
int32_t RegisterEventCallback(void* context, EventCallback callback);
void PostEvent(const char* category, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void PostEvent(const wchar_t* category, const wchar_t* fmt, ...);

// Test hook: forgets every registration (the registry otherwise only grows for the process life).
void ResetEventCallbacksForTests();
