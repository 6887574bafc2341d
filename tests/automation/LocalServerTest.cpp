// SPDX-License-Identifier: MIT
// The automation backend through real COM activation: the fake application
// runs as a local server in its own process, registered as "Kaltrop.App"
// (machine-wide, under HKEY_CLASSES_ROOT) for the duration of a test, so
// that Connect's CLSIDFromProgID and CoCreateInstance(CLSCTX_LOCAL_SERVER)
// run for real and every call is marshalled between processes. These tests
// change the registry of the whole (Wine) machine and therefore run alone.

#include "automation/InvokeMember.h"
#include "automation/KTXDCOMInstance.h"
#include "api/ExportGuards.h"
#include "fake/FakeKaltropServer.h"
#include "ktremote.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

using namespace ktremote;

namespace {

const wchar_t* const progIdKey = L"Kaltrop.App";

std::wstring classIdKey()
{
    wchar_t text[64];
    StringFromGUID2(fake::fakeKaltropClassId, text, 64);
    return std::wstring(L"CLSID\\") + text;
}

void setDefaultValue(const std::wstring& key, const std::wstring& value)
{
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
}

void unregister()
{
    RegDeleteTreeW(HKEY_CLASSES_ROOT, progIdKey);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, classIdKey().c_str());
}

std::wstring serverPath()
{
    wchar_t self[MAX_PATH];
    std::wstring path(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + KTREMOTE_FAKE_SERVER_RELATIVE_PATH;
}

// "Kaltrop.App" points at the fake server while the object lives.
class Registration {
public:
    Registration()
    {
        unregister();
        wchar_t text[64];
        StringFromGUID2(fake::fakeKaltropClassId, text, 64);
        setDefaultValue(progIdKey, L"Kaltrop Application");
        setDefaultValue(std::wstring(progIdKey) + L"\\CLSID", text);
        setDefaultValue(classIdKey(), L"Kaltrop Application");
        setDefaultValue(classIdKey() + L"\\LocalServer32", L"\"" + serverPath() + L"\"");
    }
    ~Registration() { unregister(); }
};

std::vector<std::string> callLogOf(::KTXInstance* handle)
{
    auto* instance = static_cast<KTXDCOMInstance*>(instanceOf(handle));
    std::istringstream text(getProperty(instance->applicationObject(), L"CallLog").text());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

bool contains(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

TEST(LocalServer, UnregisteredApplicationCannotBeCreated)
{
    unregister();
    ::KTXInstance* handle = nullptr;
    ASSERT_EQ(ktconCreateInstance(&handle, 0), KX_OK);
    EXPECT_EQ(instanceOf(handle)->Connect(""), KX_ERR_APP_NOT_CREATED);
    EXPECT_EQ(ktconConnect(handle, ""), KX_ERR_APP_NOT_CREATED);
    size_t count = 0;
    EXPECT_EQ(ktconGetChannelCount(handle, &count), KX_ERR_NOT_CONNECTED);
    delete instanceOf(handle);
}

TEST(LocalServer, WholeSessionAcrossProcesses)
{
    Registration registration;
    ::KTXInstance* app = nullptr;
    ASSERT_EQ(ktconCreateInstance(&app, 0), KX_OK);
    ASSERT_EQ(ktconConnect(app, ""), KX_OK);
    ASSERT_TRUE(instanceOf(app)->connected) << "the local server could not be created";

    size_t count = 0;
    EXPECT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    EXPECT_EQ(count, 3u);
    char** ids = nullptr;
    EXPECT_EQ(ktconEnumerateChannels(app, &ids, &count), KX_OK);
    ASSERT_EQ(count, 3u);
    std::vector<::ChannelInstance*> channels;
    for (size_t k = 0; k < count; ++k) {
        ::ChannelInstance* channel = nullptr;
        EXPECT_EQ(ktconCreateChannelInstance(app, ids[k], &channel), KX_OK) << ids[k];
        channels.push_back(channel);
        std::free(ids[k]);
    }
    ktconFreeEnumerateChannels(app, &ids);
    ASSERT_TRUE(channels[0] && channels[1] && channels[2]);
    char name[16];
    EXPECT_EQ(ktconChannelGetName(channels[1], name, sizeof name), KX_OK);
    EXPECT_STREQ(name, "Events");
    int state = 0;
    EXPECT_EQ(ktconGetState(app, &state), KX_OK);
    EXPECT_EQ(state, KX_STATE_ACQUIRING);

    EXPECT_EQ(ktconStartMeasurement(app), KX_OK);
    double values[3], times[3];
    size_t n = 3;
    EXPECT_EQ(ktconChannelReadScalarData_2(channels[0], values, times, &n), 2);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(values[2], 3.5);
    n = 3;
    EXPECT_EQ(ktconChannelReadScalarData_2(channels[1], values, times, &n), KX_OK);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(values[1], 20.0);
    EXPECT_EQ(times[1], 0.375);
    n = 3;
    EXPECT_EQ(ktconChannelReadScalarData_2(channels[2], values, times, &n), KX_OK);
    EXPECT_EQ(values[0], 3.25);
    EXPECT_EQ(ktconControlChannelWriteData(channels[2], 7.5), KX_OK);
    EXPECT_EQ(ktconStopMeasurement(app), KX_OK);

    const std::vector<std::string> log = callLogOf(app);
    for (const char* line :
         {"app.SuppressMessages := UI2 65535 named(-3)", "app.Stop()", "connection[0,0].AType := UI2 3 named(-3)",
          "connection[0,0].GetDataValues(UI2 3)", "connection[0,2].GetTSValues(UI2 2)",
          "channel[1,0].SingleValue := R8 7.5 named(-3)", "data.FindChannelByIndexEx(I4[0,2])"})
        EXPECT_TRUE(contains(log, line)) << line;

    for (::ChannelInstance* channel : channels)
        ktconFreeChannelInstance(channel);
    EXPECT_EQ(ktconDisconnect(app), KX_OK);
    EXPECT_EQ(ktconGetChannelCount(app, &count), KX_OK) << "refused inside, reported as nothing";
    delete instanceOf(app);
}

namespace {

// Threads and kernel handles of this process.
struct Holdings {
    DWORD threads = 0;
    DWORD handles = 0;
};

Holdings holdings()
{
    Holdings now;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++now.threads;
    CloseHandle(snapshot);
    GetProcessHandleCount(GetCurrentProcess(), &now.handles);
    return now;
}

} // namespace

// An instance per run, connected to the application and destroyed: after
// the 20th run the process holds the threads and handles it held after the
// 2nd (the first run starts COM's own threads), once COM's workers are idle.
TEST(LocalServer, DestroyedInstancesGiveBackTheirApplicationObjects)
{
    Registration registration;
    Holdings second;
    for (int run = 1; run <= 20; ++run) {
        ::KTXInstance* app = nullptr;
        ASSERT_EQ(ktconCreateInstance(&app, 0), KX_OK);
        ASSERT_EQ(ktconConnect(app, ""), KX_OK);
        ASSERT_TRUE(instanceOf(app)->connected) << "the local server could not be created";
        size_t count = 0;
        EXPECT_EQ(ktconGetChannelCount(app, &count), KX_OK);
        EXPECT_EQ(ktconDestroyInstance(app), KX_OK);
        EXPECT_EQ(instanceOf(app)->connected, false);
        EXPECT_EQ(ktconGetChannelCount(app, &count), KX_ERR_NOT_CONNECTED);
        delete instanceOf(app);
        if (run == 2)
            second = holdings();
    }
    // COM's own worker threads come and go with the load of the machine: a
    // worker still finishing its last call may be counted. What a leak
    // holds stays, so the count is given a while to come back.
    Holdings last = holdings();
    for (int wait = 0; wait < 600 && (last.threads > second.threads || last.handles > second.handles); ++wait) {
        Sleep(100);
        last = holdings();
    }
    // Idle workers may also have gone since the 2nd run: only growth is a leak.
    EXPECT_LE(last.threads, second.threads);
    EXPECT_LE(last.handles, second.handles);
}
