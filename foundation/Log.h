#pragma once
// The process-wide diagnostic log and the settings readers every subsystem uses.
//
// A line is written when the category mask's low 8 bits are non-zero, logging is on, and either
// the level is 0 or some category bit of the mask has a threshold >= level. Thresholds come from
// the settings store: SOFTWARE\DebugZeph\<module> (per user) and SOFTWARE\DebugZeph\GLOBAL
// (machine-wide); the larger of the two wins.
#include <cstdint>
#include <string>

#include "platform/ReentrantLock.h"

// Category masks; a message may name several.
constexpr uint32_t LOG_TIMING = 1;
constexpr uint32_t LOG_TRACE = 2;
constexpr uint32_t LOG_MEMORY = 4;
constexpr uint32_t LOG_LOCKING = 8;
constexpr uint32_t LOG_ERROR = 16;
constexpr uint32_t LOG_CUSTOM1 = 32;
constexpr uint32_t LOG_CUSTOM2 = 64;
constexpr uint32_t LOG_CUSTOM3 = 128;

// Settings keys.
inline constexpr const char* KEY_DEBUGZEPH = "SOFTWARE\\DebugZeph";
inline constexpr const char* KEY_RTMPSINK = "SOFTWARE\\Quorvel\\RtmpSink";
inline constexpr const char* KEY_TCPCLIENT = "SOFTWARE\\Quorvel\\TcpClient";
inline constexpr const char* KEY_PROXY = "Software\\Quorvel\\ProxySettings";

void Log(uint32_t mask, uint32_t level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void Log(uint32_t mask, uint32_t level, const wchar_t* fmt, ...);
void LogTrace(uint32_t level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void LogTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));  // TRACE, level 4
bool LogEnabled(uint32_t mask, uint32_t level);

// Once per process, when the module is loaded. `moduleAddress` is any address inside the
// module; its file path (found with dladdr) names the per-module settings key.
void LogInit(const void* moduleAddress);
// Hands the output to the host (fd >= 0), does nothing more (fd 0 means "no handle"), or
// restores the configured target (fd -1). Returns 1 for a 0 handle, else 0.
int LogRedirect(intptr_t handle, uint32_t level, platform::CReentrantLock* lock);
void LogClose();

// Integer settings reader: per user first, then machine-wide; a string value is decimal text.
int getRegistryKey(const char* keyPath, const char* valueName, int defaultValue);
// String settings reader: 0 when found (and *hive = 0 user / 1 machine), -1 otherwise.
int getRegistryString(const char* keyPath, const char* valueName, char* buffer, uint32_t bufferBytes,
                      int* hive);

// The module's file name as found at LogInit (names the per-module settings key); empty before.
std::string LogModuleName();
// Test hook: closes the output and returns the log to its state before LogInit.
void LogResetForTests();
