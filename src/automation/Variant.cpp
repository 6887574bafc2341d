// SPDX-License-Identifier: MIT
#include "Variant.h"

#include "TextConversion.h"

namespace ktremote {

std::string Variant::text() const
{
    if (heldValue.vt != VT_BSTR)
        return {};
    return utf16ToUtf8(heldValue.bstrVal, SysStringLen(heldValue.bstrVal));
}

} // namespace ktremote
