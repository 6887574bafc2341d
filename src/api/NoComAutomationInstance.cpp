// SPDX-License-Identifier: MIT
// The automation instance on platforms without COM: it can be created, so
// that a host's code runs unchanged, but it can never connect.

#include "InstanceFactory.h"
#include "ktremote.h"

namespace ktremote {

namespace {

class NoComAutomationInstance : public KTXInstance {
public:
    int Connect(const char*) override { return KX_ERR_APP_NOT_CREATED; }
};

} // namespace

KTXInstance* createAutomationInstance() { return new NoComAutomationInstance(); }

} // namespace ktremote
