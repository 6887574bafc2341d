// SPDX-License-Identifier: MIT
#include "TextConversion.h"

#include "api/Failure.h"
#include "ktremote.h"

#include <windows.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ktremote {

std::wstring utf8ToUtf16(const std::string& text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring result(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &result[0], length);
    return result;
}

std::string utf16ToUtf8(const wchar_t* text, size_t length)
{
    if (text == nullptr || length == 0 || length > INT_MAX)
        return {};
    const int size = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, size, &result[0], bytes, nullptr, nullptr);
    return result;
}

std::wstring localeToUtf16(const char* text)
{
    const size_t length = std::strlen(text);
    std::vector<wchar_t> buffer(length + 1);
    size_t converted = 0;
    if (mbstowcs_s(&converted, buffer.data(), buffer.size(), text, length) != 0)
        raise(KX_ERR_FAILED, "a text is not valid in the current locale");
    return std::wstring(buffer.data());
}

} // namespace ktremote
