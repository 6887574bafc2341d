#pragma once

#include "KTXInstance.h"

#include <cstring>
#include <new>

namespace ktremote {

// Instances are built in zero-filled storage, so that every field without an
// initial value of its own starts at zero.
template <class T>
T* newZeroFilled()
{
    void* storage = ::operator new(sizeof(T));
    std::memset(storage, 0, sizeof(T));
    try {
        return new (storage) T();
    } catch (...) {
        ::operator delete(storage);
        throw;
    }
}

// The two kinds of instance. The network instance exists everywhere; the
// automation instance needs COM and, without it, is one whose Connect
// reports KX_ERR_APP_NOT_CREATED.
KTXInstance* createNetworkInstance();
KTXInstance* createAutomationInstance();

} // namespace ktremote
