// SPDX-License-Identifier: MIT
#pragma once

// Calls into the application's automation objects by member name. Every
// exchange with the application goes through InvokeMember; the wrappers
// below build the argument values of the few call shapes that take
// arguments. Failures are raised as ktremote::Failure:
//   KX_ERR_NO_TARGET_OBJECT  the object to call is absent;
//   KX_ERR_AUTOMATION_CALL   the name is unknown, or the call was refused
//                            or failed on its way to the application.
// Arguments built here (strings, arrays) are released after the call,
// whether it succeeded or not.

#include "Variant.h"

#include <oaidl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ktremote {

// Looks `name` up on `target` and calls it with `kind` (DISPATCH_METHOD,
// DISPATCH_PROPERTYGET or DISPATCH_PROPERTYPUT). The arguments are passed
// as given: element 0 is the member's last parameter. A property put sends
// its one value as the named argument DISPID_PROPERTYPUT and takes no
// result. Returns the call's (successful) HRESULT.
HRESULT InvokeMember(WORD kind, VARIANT* result, IDispatch* target, const wchar_t* name, UINT argCount = 0,
                     const VARIANT* args = nullptr);

Variant callMethod(IDispatch* target, const wchar_t* name);
Variant getProperty(IDispatch* target, const wchar_t* name);
Variant callMethodWithText(IDispatch* target, const wchar_t* name, const std::wstring& text);

// Counts and positions travel as 16-bit unsigned values: the application
// receives the low 16 bits (70000 arrives as 4464, -1 as 65535).
Variant callMethodWithCount(IDispatch* target, const wchar_t* name, int32_t count);
Variant getItem(IDispatch* collection, int32_t position);
void putSmallInteger(IDispatch* target, const wchar_t* name, int32_t value);

void putDouble(IDispatch* target, const wchar_t* name, double value);

// "AddAsyncData"(value, time): the application receives the value first.
Variant callAddAsyncData(IDispatch* channel, double value, double time);

// "FindChannelByIndexEx" with the channel's index array. Raises
// ArrayArgumentFailure when the array cannot be built.
Variant callFindChannelByIndexEx(IDispatch* data, const std::vector<int32_t>& indices);

class ArrayArgumentFailure : public std::runtime_error {
public:
    explicit ArrayArgumentFailure(HRESULT result)
        : std::runtime_error("an array argument for the application could not be built"), failureResult(result)
    {
    }
    HRESULT result() const noexcept { return failureResult; }

private:
    HRESULT failureResult;
};

} // namespace ktremote
