#pragma once
// UTF-8 <-> wide text. wchar_t is UTF-32 on Linux; bytes that are not valid UTF-8 become U+FFFD
// so a bad event or log text never stops the message.
#include <string>
#include <string_view>

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
