// SPDX-License-Identifier: MIT
#include "InvokeMember.h"

#include "api/Failure.h"
#include "ktremote.h"

#include <memory>
#include <new>

namespace ktremote {

HRESULT InvokeMember(WORD kind, VARIANT* result, IDispatch* target, const wchar_t* name, UINT argCount,
                     const VARIANT* args)
{
    if (target == nullptr)
        raise(KX_ERR_NO_TARGET_OBJECT, "an automation call went to an object that is absent");

    DISPID member = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &member)))
        raise(KX_ERR_AUTOMATION_CALL, "the application's object has no member of the called name");

    // Invoke takes a non-const array; the copy is shallow and owns nothing.
    std::vector<VARIANTARG> arguments(args, args + argCount);
    DISPID propertyPut = DISPID_PROPERTYPUT;
    DISPPARAMS parameters{arguments.data(), nullptr, argCount, 0};
    if (kind == DISPATCH_PROPERTYPUT) {
        parameters.rgdispidNamedArgs = &propertyPut;
        parameters.cNamedArgs = 1;
        result = nullptr;
    }
    const HRESULT hr =
        target->Invoke(member, IID_NULL, LOCALE_SYSTEM_DEFAULT, kind, &parameters, result, nullptr, nullptr);
    if (FAILED(hr))
        raise(KX_ERR_AUTOMATION_CALL, "the application's object refused an automation call");
    return hr;
}

namespace {

VARIANT smallInteger(int32_t value)
{
    // Stored as 32 bits under a 16-bit tag: the application reads the low
    // 16 bits, as it always has.
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI2;
    v.lVal = value;
    return v;
}

VARIANT realNumber(double value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}

struct BstrDeleter {
    void operator()(wchar_t* text) const { SysFreeString(text); }
};
using Bstr = std::unique_ptr<wchar_t, BstrDeleter>;

struct SafeArrayDeleter {
    void operator()(SAFEARRAY* array) const { SafeArrayDestroy(array); }
};
using SafeArrayPtr = std::unique_ptr<SAFEARRAY, SafeArrayDeleter>;

Variant call(WORD kind, IDispatch* target, const wchar_t* name, UINT argCount = 0, const VARIANT* args = nullptr)
{
    Variant result;
    InvokeMember(kind, result.get(), target, name, argCount, args);
    return result;
}

} // namespace

Variant callMethod(IDispatch* target, const wchar_t* name) { return call(DISPATCH_METHOD, target, name); }

Variant getProperty(IDispatch* target, const wchar_t* name) { return call(DISPATCH_PROPERTYGET, target, name); }

Variant callMethodWithText(IDispatch* target, const wchar_t* name, const std::wstring& text)
{
    Bstr string(SysAllocString(text.c_str()));
    if (!string && !text.empty())
        throw std::bad_alloc();
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_BSTR;
    argument.bstrVal = string.get();
    return call(DISPATCH_METHOD, target, name, 1, &argument);
}

Variant callMethodWithCount(IDispatch* target, const wchar_t* name, int32_t count)
{
    const VARIANT argument = smallInteger(count);
    return call(DISPATCH_METHOD, target, name, 1, &argument);
}

Variant getItem(IDispatch* collection, int32_t position)
{
    const VARIANT argument = smallInteger(position);
    return call(DISPATCH_PROPERTYGET, collection, L"Item", 1, &argument);
}

void putSmallInteger(IDispatch* target, const wchar_t* name, int32_t value)
{
    const VARIANT argument = smallInteger(value);
    InvokeMember(DISPATCH_PROPERTYPUT, nullptr, target, name, 1, &argument);
}

void putDouble(IDispatch* target, const wchar_t* name, double value)
{
    const VARIANT argument = realNumber(value);
    InvokeMember(DISPATCH_PROPERTYPUT, nullptr, target, name, 1, &argument);
}

Variant callAddAsyncData(IDispatch* channel, double value, double time)
{
    // Element 0 is the last parameter.
    const VARIANT arguments[] = {realNumber(time), realNumber(value)};
    return call(DISPATCH_METHOD, channel, L"AddAsyncData", 2, arguments);
}

Variant callFindChannelByIndexEx(IDispatch* data, const std::vector<int32_t>& indices)
{
    SAFEARRAYBOUND bound{static_cast<ULONG>(indices.size()), 0};
    SafeArrayPtr array(SafeArrayCreate(VT_I4, 1, &bound));
    if (!array)
        throw ArrayArgumentFailure(E_OUTOFMEMORY);
    LONG lower = 0, upper = -1;
    HRESULT hr = SafeArrayGetLBound(array.get(), 1, &lower);
    if (SUCCEEDED(hr))
        hr = SafeArrayGetUBound(array.get(), 1, &upper);
    for (LONG i = lower; SUCCEEDED(hr) && i <= upper; ++i) {
        LONG value = indices[static_cast<size_t>(i - lower)];
        hr = SafeArrayPutElement(array.get(), &i, &value);
    }
    if (FAILED(hr))
        throw ArrayArgumentFailure(hr);

    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_ARRAY | VT_I4;
    argument.parray = array.get();
    return call(DISPATCH_METHOD, data, L"FindChannelByIndexEx", 1, &argument);
}

} // namespace ktremote
