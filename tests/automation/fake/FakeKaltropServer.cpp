// SPDX-License-Identifier: MIT
// A local automation server for the fake application. COM starts it (with
// "-Embedding") when a client creates the registered class; each process
// serves one application object and ends when the client has released
// every object, or after a minute at the latest.

#include "FakeKaltropServer.h"

#include <windows.h>

namespace fake {

void setUpServedState(FakeKaltrop& kaltrop)
{
    FakeChannel speed;
    speed.indexEx = {0, 0};
    speed.name = "Speed";
    speed.unit = "1/min";
    speed.sampleRate = 500.0;
    speed.values = {1.5f, 2.5f, 3.5f, 4.5f};
    FakeChannel hidden;
    hidden.indexEx = {0, 1};
    hidden.name = "Hidden";
    hidden.shown = false;
    FakeChannel events;
    events.indexEx = {0, 2};
    events.name = "Events";
    events.async = true;
    events.expectedAsyncRate = 4.0f;
    events.values = {10.0f, 20.0f};
    events.times = {0.125, 0.375};
    FakeChannel valve;
    valve.indexEx = {1, 0};
    valve.name = "Valve";
    valve.control = true;
    valve.singleValue = true;
    valve.currentValue = 3.25;
    kaltrop.channels = {speed, hidden, events, valve};
    kaltrop.acqRunning = true;
    kaltrop.runMode = 1;
    kaltrop.menuIndex = 2;
}

} // namespace fake

namespace {

class Factory : public IClassFactory {
public:
    explicit Factory(std::shared_ptr<fake::FakeKaltrop> kaltrop) : fakeKaltrop(std::move(kaltrop)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; } // lives as long as the process
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        IDispatch* application = fakeKaltrop->newApplication();
        const HRESULT hr = application->QueryInterface(iid, object);
        application->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    std::shared_ptr<fake::FakeKaltrop> fakeKaltrop;
};

} // namespace

int main()
{
    if (FAILED(CoInitialize(nullptr)))
        return 1;
    auto kaltrop = fake::FakeKaltrop::create();
    fake::setUpServedState(*kaltrop);
    Factory factory(kaltrop);
    DWORD cookie = 0;
    if (FAILED(
            CoRegisterClassObject(fake::fakeKaltropClassId, &factory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie)))
        return 2;

    // Incoming calls arrive as window messages of this single-threaded
    // apartment.
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetTickCount64() < deadline && !(kaltrop->recorder->created > 0 && kaltrop->recorder->live == 0)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    CoRevokeClassObject(cookie);
    CoUninitialize();
    return 0;
}
