#include "Variant.h"

#include "TextConversion.h"

namespace ktremote {

std::string Variant::text() const
{
    if (value_.vt != VT_BSTR)
        return {};
    return utf16ToUtf8(value_.bstrVal, SysStringLen(value_.bstrVal));
}

} // namespace ktremote
