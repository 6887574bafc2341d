#pragma once

#include "api/KTXInstance.h"

namespace ktremote {

// An instance that talks to the application over TCP: a text command
// connection to the application, and a data listener to which the
// application streams samples.
class KTXNETInstance : public KTXInstance {
public:
    KTXNETInstance() = default;

    int Connect(const char* connection) override;
};

} // namespace ktremote
