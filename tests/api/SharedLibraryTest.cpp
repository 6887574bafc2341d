// SPDX-License-Identifier: MIT
// Loads the shared library with dlopen, as a host program does, and checks
// that it exports exactly the 38 ktcon functions and nothing else.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "ExpectedExports.h"
#include "KtremoteVersion.h"
#include "ktremote.h"

namespace {

using ktremote::test::expectedExports;

template <class T>
T readAt(const std::vector<char>& file, size_t offset)
{
    T value{};
    if (offset + sizeof(T) <= file.size())
        std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

// The defined global symbols of the file's dynamic symbol table.
template <class Ehdr, class Shdr, class Sym, unsigned char (*bindOf)(unsigned char)>
std::set<std::string> definedDynamicSymbols(const std::vector<char>& file)
{
    const auto header = readAt<Ehdr>(file, 0);
    std::set<std::string> names;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        const auto section = readAt<Shdr>(file, header.e_shoff + i * header.e_shentsize);
        if (section.sh_type != SHT_DYNSYM)
            continue;
        const auto strings = readAt<Shdr>(file, header.e_shoff + section.sh_link * header.e_shentsize);
        for (size_t off = section.sh_offset; off + sizeof(Sym) <= section.sh_offset + section.sh_size;
             off += sizeof(Sym)) {
            const auto symbol = readAt<Sym>(file, off);
            const unsigned char bind = bindOf(symbol.st_info);
            if (symbol.st_shndx == SHN_UNDEF || symbol.st_name == 0 || (bind != STB_GLOBAL && bind != STB_WEAK))
                continue;
            names.insert(std::string(file.data() + strings.sh_offset + symbol.st_name));
        }
    }
    return names;
}

unsigned char bind32(unsigned char info) { return ELF32_ST_BIND(info); }
unsigned char bind64(unsigned char info) { return ELF64_ST_BIND(info); }

} // namespace

TEST(SharedLibrary, LoadsAndResolvesEveryExport)
{
    void* library = dlopen(KTREMOTE_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const std::string& name : expectedExports)
        EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;

    using GetVersion = KX_ERROR_CODE (*)(char*, size_t);
    auto getVersion = reinterpret_cast<GetVersion>(dlsym(library, "ktconGetVersion"));
    ASSERT_NE(getVersion, nullptr);
    char version[16] = {};
    EXPECT_EQ(getVersion(version, sizeof version), KX_OK);
    EXPECT_STREQ(version, ktremote::versionText);

    using CreateInstance = KX_ERROR_CODE (*)(KTXInstance**, int);
    using GetChannelCount = KX_ERROR_CODE (*)(KTXInstance*, size_t*);
    auto create = reinterpret_cast<CreateInstance>(dlsym(library, "ktconCreateInstance"));
    auto count = reinterpret_cast<GetChannelCount>(dlsym(library, "ktconGetChannelCount"));
    KTXInstance* instance = nullptr;
    ASSERT_EQ(create(&instance, 1), KX_OK);
    size_t n = 0;
    EXPECT_EQ(count(instance, &n), KX_ERR_NOT_CONNECTED);
    // The library stays loaded: its instances live until the process ends.
}

TEST(SharedLibrary, ExportsExactlyTheThirtyEightFunctions)
{
    std::ifstream in(KTREMOTE_SHARED_LIBRARY_PATH, std::ios::binary);
    ASSERT_TRUE(in) << KTREMOTE_SHARED_LIBRARY_PATH;
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(file.size(), size_t{EI_NIDENT});
    ASSERT_EQ(std::memcmp(file.data(), ELFMAG, SELFMAG), 0);

    // The library has the word size of this build: 64-bit trees deliver
    // libktremote64, 32-bit trees libktremote.
    const int elfClass = file[EI_CLASS];
    std::set<std::string> exported;
    if (sizeof(void*) == 8) {
        EXPECT_EQ(sizeof(size_t), 8u);
        ASSERT_EQ(elfClass, ELFCLASS64);
        EXPECT_NE(std::string(KTREMOTE_SHARED_LIBRARY_PATH).find("libktremote64.so"), std::string::npos);
        exported = definedDynamicSymbols<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, bind64>(file);
    } else {
        EXPECT_EQ(sizeof(size_t), 4u);
        ASSERT_EQ(elfClass, ELFCLASS32);
        EXPECT_NE(std::string(KTREMOTE_SHARED_LIBRARY_PATH).find("libktremote.so"), std::string::npos);
        exported = definedDynamicSymbols<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, bind32>(file);
    }
    EXPECT_EQ(exported, expectedExports);
    EXPECT_EQ(exported.size(), 38u);
}
