// SPDX-License-Identifier: MIT
// Loads the DLL of this build with LoadLibrary, as a host does, and checks
// its export and import tables: exactly the 38 ktcon functions under their
// plain names (no stdcall decoration on i686), and nothing imported beyond
// the system's own DLLs.

#include "ExpectedExports.h"
#include "KtremoteVersion.h"
#include "ktremote.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

namespace {

using ktremote::test::expectedExports;

// DLLs that every Windows installation has. Anything else (the C++ runtime,
// winpthread) would have to be shipped next to the library.
const std::set<std::string> systemDlls = {
    "kernel32.dll", "msvcrt.dll",   "ws2_32.dll", "mswsock.dll",
    "ole32.dll",    "oleaut32.dll", "user32.dll", "advapi32.dll",
};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The DLL lies at a fixed place relative to this program in the build tree.
std::wstring libraryPath()
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + KTREMOTE_DLL_RELATIVE_PATH;
}

class Dll : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryW(libraryPath().c_str());
        ASSERT_NE(module, nullptr) << "LoadLibrary failed: " << GetLastError();
        base = reinterpret_cast<const unsigned char*>(module);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
        nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
    }
    // The library stays loaded: its instances live until the process ends.

    const IMAGE_DATA_DIRECTORY& directory(int index) const { return nt->OptionalHeader.DataDirectory[index]; }

    template <class T>
    const T* at(DWORD rva) const
    {
        return reinterpret_cast<const T*>(base + rva);
    }

    std::set<std::string> exportedNames() const
    {
        std::set<std::string> names;
        const auto& entry = directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
        if (entry.Size == 0)
            return names;
        const auto* exports = at<IMAGE_EXPORT_DIRECTORY>(entry.VirtualAddress);
        const auto* nameRvas = at<DWORD>(exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.insert(at<char>(nameRvas[i]));
        return names;
    }

    std::set<std::string> importedDlls() const
    {
        std::set<std::string> names;
        const auto& entry = directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
        if (entry.Size == 0)
            return names;
        for (const auto* d = at<IMAGE_IMPORT_DESCRIPTOR>(entry.VirtualAddress); d->Name != 0; ++d)
            names.insert(lower(at<char>(d->Name)));
        return names;
    }

    // FARPROC has no parameters; going through void(*)() is the sanctioned
    // way to give it its real type.
    template <class Function>
    Function procedure(const char* name) const
    {
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    }

    HMODULE module = nullptr;
    const unsigned char* base = nullptr;
    const IMAGE_NT_HEADERS* nt = nullptr;
};

} // namespace

TEST_F(Dll, HasTheNameAndMachineOfThisBuild)
{
    const std::wstring path = libraryPath();
    const std::wstring file = path.substr(path.find_last_of(L"\\/") + 1);
    if (sizeof(void*) == 8) {
        EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
        EXPECT_TRUE(file == L"ktremote64.dll");
    } else {
        EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
        EXPECT_TRUE(file == L"ktremote.dll");
    }
    EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST_F(Dll, ExportsExactlyTheThirtyEightFunctionsUndecorated)
{
    const std::set<std::string> names = exportedNames();
    EXPECT_EQ(names, expectedExports);
    EXPECT_EQ(names.size(), 38u);
    for (const std::string& name : expectedExports)
        EXPECT_NE(GetProcAddress(module, name.c_str()), nullptr) << name;
}

TEST_F(Dll, ImportsOnlySystemDlls)
{
    const std::set<std::string> imports = importedDlls();
    EXPECT_FALSE(imports.empty());
    for (const std::string& name : imports)
        EXPECT_TRUE(systemDlls.count(name) != 0 || name.rfind("api-ms-win-", 0) == 0) << name;
}

TEST_F(Dll, CallsThroughPlainCFunctionPointers)
{
    // The functions use the default C calling convention: calling them
    // through these pointer types must keep the stack balanced on i686.
    using GetVersion = KX_ERROR_CODE (*)(char*, size_t);
    using CreateInstance = KX_ERROR_CODE (*)(KTXInstance**, int);
    using GetChannelCount = KX_ERROR_CODE (*)(KTXInstance*, size_t*);
    using Connect = KX_ERROR_CODE (*)(KTXInstance*, const char*);
    auto getVersion = procedure<GetVersion>("ktconGetVersion");
    auto create = procedure<CreateInstance>("ktconCreateInstance");
    auto count = procedure<GetChannelCount>("ktconGetChannelCount");
    auto connect = procedure<Connect>("ktconConnect");
    ASSERT_TRUE(getVersion && create && count && connect);

    char version[16] = {};
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(getVersion(version, sizeof version), KX_OK);
    EXPECT_STREQ(version, ktremote::versionText);

    for (int useNetwork : {0, 1}) {
        KTXInstance* instance = nullptr;
        ASSERT_EQ(create(&instance, useNetwork), KX_OK);
        ASSERT_NE(instance, nullptr);
        size_t n = 0;
        EXPECT_EQ(count(instance, &n), KX_ERR_NOT_CONNECTED);
        EXPECT_EQ(connect(nullptr, ""), KX_ERR_INVALID_HANDLE);
    }
}
