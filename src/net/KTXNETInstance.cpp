#include "KTXNETInstance.h"

#include "api/InstanceFactory.h"
#include "ktremote.h"

namespace ktremote {

int KTXNETInstance::Connect(const char*)
{
    return KX_ERR_NO_COMMAND_CONNECTION;
}

KTXInstance* createNetworkInstance() { return newZeroFilled<KTXNETInstance>(); }

} // namespace ktremote
