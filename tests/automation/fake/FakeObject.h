// SPDX-License-Identifier: MIT
#pragma once

// A scriptable automation object for tests: a real IDispatch whose members
// are C++ handlers, and which records every call (object, kind, member,
// arguments with their types, named arguments) in a shared log.

#include <ole2.h>
#include <oleauto.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fake {

// One argument as the object received it.
struct Arg {
    VARTYPE type = VT_EMPTY;
    int64_t integer = 0;
    double real = 0.0;
    std::string text;
    std::vector<int32_t> array;
    std::string str() const; // "UI2 65535", "R8 2.5", "BSTR 'x'", "I4[3,0]"
};

struct Call {
    std::string object; // the object's label, e.g. "app", "channel[0,1]"
    WORD kind = 0;
    std::string member;
    std::vector<Arg> args;     // in the member's parameter order
    std::vector<DISPID> named; // named argument ids
    // "app.Init()", "app.Data", "used.Item[UI2 0]", "app.Visible := UI2 1 named(-3)"
    std::string str() const;
};

// What all objects of one fake application share.
struct Recorder {
    std::vector<Call> calls;
    std::set<std::string> failing; // "kind.Member" entries answer E_FAIL
    int live = 0;                  // objects not yet released
    int created = 0;

    std::vector<std::string> lines() const;
    // The calls whose text starts with `prefix`.
    std::vector<std::string> linesStartingWith(const std::string& prefix) const;
    void clear() { calls.clear(); }
};

// Result builders.
void setObject(VARIANT* result, IDispatch* object); // takes the reference
void setInt(VARIANT* result, int32_t value);
void setBool(VARIANT* result, bool value);
void setDouble(VARIANT* result, double value);
void setFloat(VARIANT* result, float value);
void setText(VARIANT* result, const std::string& utf8);
void setArray(VARIANT* result, VARTYPE elementType, const void* elements, size_t count);

std::string toUtf8(const wchar_t* text, size_t length);

class FakeObject : public IDispatch {
public:
    using Handler = std::function<HRESULT(const std::vector<Arg>& args, VARIANT* result)>;

    // `kind` names the object in failure switches ("channel"), `label` in
    // the log ("channel[0,1]").
    FakeObject(std::shared_ptr<Recorder> recorder, std::string kind, std::string label);
    virtual ~FakeObject();

    void on(WORD kind, const std::string& member, Handler handler);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD kind, DISPPARAMS* parameters, VARIANT* result,
                                     EXCEPINFO*, UINT*) override;

private:
    std::shared_ptr<Recorder> callRecorder;
    std::string objectKind, objectLabel;
    std::vector<std::string> memberNames; // DISPID = position + 1
    std::map<std::pair<std::string, WORD>, Handler> handlerTable;
    ULONG refCount = 1;
};

} // namespace fake
