// SPDX-License-Identifier: MIT
#include "FakeObject.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace fake {

std::string toUtf8(const wchar_t* text, size_t length)
{
    if (text == nullptr || length == 0)
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(std::max(n, 0)), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &result[0], n, nullptr, nullptr);
    return result;
}

namespace {

std::wstring toUtf16(const std::string& text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], n);
    return result;
}

std::string number(double value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

Arg argOf(const VARIANT& v)
{
    Arg arg;
    arg.type = v.vt;
    switch (v.vt) {
    case VT_UI2: arg.integer = v.uiVal; break;
    case VT_I2: arg.integer = v.iVal; break;
    case VT_I4: arg.integer = v.lVal; break;
    case VT_BOOL: arg.integer = v.boolVal; break;
    case VT_R8: arg.real = v.dblVal; break;
    case VT_R4: arg.real = v.fltVal; break;
    case VT_BSTR: arg.text = toUtf8(v.bstrVal, SysStringLen(v.bstrVal)); break;
    case VT_ARRAY | VT_I4: {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(v.parray, 1, &lower);
        SafeArrayGetUBound(v.parray, 1, &upper);
        for (LONG i = lower; i <= upper; ++i) {
            LONG element = 0;
            SafeArrayGetElement(v.parray, &i, &element);
            arg.array.push_back(element);
        }
        break;
    }
    default: break;
    }
    return arg;
}

} // namespace

std::string Arg::str() const
{
    switch (type) {
    case VT_UI2: return "UI2 " + std::to_string(integer);
    case VT_I2: return "I2 " + std::to_string(integer);
    case VT_I4: return "I4 " + std::to_string(integer);
    case VT_BOOL: return "BOOL " + std::to_string(integer);
    case VT_R8: return "R8 " + number(real);
    case VT_R4: return "R4 " + number(real);
    case VT_BSTR: return "BSTR '" + text + "'";
    case VT_ARRAY | VT_I4: {
        std::string s = "I4[";
        for (size_t i = 0; i < array.size(); ++i)
            s += (i ? "," : "") + std::to_string(array[i]);
        return s + "]";
    }
    default: return "VT " + std::to_string(type);
    }
}

std::string Call::str() const
{
    std::string args;
    for (size_t i = 0; i < this->args.size(); ++i)
        args += (i ? ", " : "") + this->args[i].str();
    std::string s = object + "." + member;
    if (kind == DISPATCH_METHOD)
        s += "(" + args + ")";
    else if (kind == DISPATCH_PROPERTYPUT)
        s += " := " + args;
    else if (!args.empty())
        s += "[" + args + "]";
    for (DISPID id : named)
        s += " named(" + std::to_string(id) + ")";
    return s;
}

std::vector<std::string> Recorder::lines() const
{
    std::vector<std::string> result;
    for (const Call& call : calls)
        result.push_back(call.str());
    return result;
}

std::vector<std::string> Recorder::linesStartingWith(const std::string& prefix) const
{
    std::vector<std::string> result;
    for (const Call& call : calls) {
        std::string line = call.str();
        if (line.compare(0, prefix.size(), prefix) == 0)
            result.push_back(std::move(line));
    }
    return result;
}

void setObject(VARIANT* result, IDispatch* object)
{
    result->vt = VT_DISPATCH;
    result->pdispVal = object;
}

void setInt(VARIANT* result, int32_t value)
{
    result->vt = VT_I4;
    result->lVal = value;
}

void setBool(VARIANT* result, bool value)
{
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void setDouble(VARIANT* result, double value)
{
    result->vt = VT_R8;
    result->dblVal = value;
}

void setFloat(VARIANT* result, float value)
{
    result->vt = VT_R4;
    result->fltVal = value;
}

void setText(VARIANT* result, const std::string& utf8)
{
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(toUtf16(utf8).c_str());
}

void setArray(VARIANT* result, VARTYPE elementType, const void* elements, size_t count)
{
    SAFEARRAYBOUND bound{static_cast<ULONG>(count), 0};
    SAFEARRAY* array = SafeArrayCreate(elementType, 1, &bound);
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    if (count > 0)
        std::memcpy(data, elements, count * SafeArrayGetElemsize(array));
    SafeArrayUnaccessData(array);
    result->vt = VT_ARRAY | elementType;
    result->parray = array;
}

FakeObject::FakeObject(std::shared_ptr<Recorder> recorder, std::string kind, std::string label)
    : callRecorder(std::move(recorder)), objectKind(std::move(kind)), objectLabel(std::move(label))
{
    ++callRecorder->live;
    ++callRecorder->created;
}

FakeObject::~FakeObject() { --callRecorder->live; }

void FakeObject::on(WORD kind, const std::string& member, Handler handler)
{
    if (std::find(memberNames.begin(), memberNames.end(), member) == memberNames.end())
        memberNames.push_back(member);
    handlerTable[{member, kind}] = std::move(handler);
}

HRESULT FakeObject::QueryInterface(REFIID iid, void** object)
{
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeObject::AddRef() { return ++refCount; }

ULONG FakeObject::Release()
{
    const ULONG refs = --refCount;
    if (refs == 0)
        delete this;
    return refs;
}

HRESULT FakeObject::GetTypeInfoCount(UINT* count)
{
    *count = 0;
    return S_OK;
}

HRESULT FakeObject::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT FakeObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids)
{
    if (count != 1)
        return E_INVALIDARG;
    const std::string name = toUtf8(names[0], wcslen(names[0]));
    const auto it = std::find(memberNames.begin(), memberNames.end(), name);
    if (it == memberNames.end()) {
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    ids[0] = static_cast<DISPID>(it - memberNames.begin()) + 1;
    return S_OK;
}

HRESULT FakeObject::Invoke(DISPID id, REFIID, LCID, WORD kind, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                           UINT*)
{
    if (id < 1 || static_cast<size_t>(id) > memberNames.size())
        return DISP_E_MEMBERNOTFOUND;
    Call call;
    call.object = objectLabel;
    call.kind = kind;
    call.member = memberNames[static_cast<size_t>(id) - 1];
    // rgvarg holds the last parameter first.
    for (UINT i = parameters->cArgs; i-- > 0;)
        call.args.push_back(argOf(parameters->rgvarg[i]));
    call.named.assign(parameters->rgdispidNamedArgs, parameters->rgdispidNamedArgs + parameters->cNamedArgs);
    callRecorder->calls.push_back(call);

    if (callRecorder->failing.count(objectKind + "." + call.member) != 0)
        return E_FAIL;
    if (kind == DISPATCH_PROPERTYPUT &&
        (call.named.size() != 1 || call.named[0] != DISPID_PROPERTYPUT || call.args.size() != 1))
        return DISP_E_PARAMNOTOPTIONAL;
    const auto handler = handlerTable.find({call.member, kind});
    if (handler == handlerTable.end())
        return DISP_E_MEMBERNOTFOUND;
    VARIANT scratch;
    VariantInit(&scratch);
    const HRESULT hr = handler->second(call.args, result != nullptr ? result : &scratch);
    VariantClear(&scratch);
    return hr;
}

} // namespace fake
