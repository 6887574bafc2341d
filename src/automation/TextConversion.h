// SPDX-License-Identifier: MIT
#pragma once

// Conversions between the library's 8-bit texts and the application's
// UTF-16 strings.

#include <string>

namespace ktremote {

// UTF-8 to UTF-16 and back with the platform's converter. A text that does
// not convert (or converts to nothing) gives the empty string.
std::wstring utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const wchar_t* text, size_t length);

// A text in the current C locale's multibyte encoding, as file paths come
// from hosts that do not speak UTF-8. Raises KX_ERR_FAILED for a text that
// is not valid in that encoding.
std::wstring localeToUtf16(const char* text);

} // namespace ktremote
