// SPDX-License-Identifier: MIT
#pragma once

#include "KTXInstance.h"

namespace ktremote {

// The two kinds of instance, built with `new T()`: every member starts at
// the value its declaration gives it. The network instance exists
// everywhere; the automation instance needs COM and, without it, is one
// whose Connect reports KX_ERR_APP_NOT_CREATED.
KTXInstance* createNetworkInstance();
KTXInstance* createAutomationInstance();

} // namespace ktremote
