// Names and plain explanations of the library's result codes, for messages.
#pragma once

#include "ktremote.h"

namespace ktcli {

// The code's name in ktremote.h ("KX_ERR_NOT_CONNECTED"), or "unknown
// result" for a code the header does not name.
const char* resultName(int code);

// One plain sentence about what the code means, without a full stop.
const char* resultMeaning(int code);

}  // namespace ktcli
