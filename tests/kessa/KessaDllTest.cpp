// Kessa.dll as the service loads it: by name, from the product folder, with
// the default search directories. Only calls that need no modem.
#include <gtest/gtest.h>

#include "Kessa.h"
#include "TestSupport.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {
const std::vector<std::string> kExportsInNameOrder = {
    "Kessa_CloseDeviceServices", "Kessa_GetFileCrc",  "Kessa_GetIsMbimReady",     "Kessa_GetSarEnable",
    "Kessa_GetSarIndex",         "Kessa_GetSarValue", "Kessa_GetSarVersion",      "Kessa_Init",
    "Kessa_IsWrite",             "Kessa_OpenDeviceServices", "Kessa_SetDeviceRoot", "Kessa_SetSarCallBack",
    "Kessa_SetSarEnable",        "Kessa_SetSarIndex", "Kessa_SetSarValue",        "Kessa_SetSarVersion",
    "Kessa_UnInit"};

class KessaDll : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::AddDllDirectory(testsupport::ProductDirW().c_str());
        s_module = ::LoadLibraryExA("Kessa.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    }

    void SetUp() override { ASSERT_NE(s_module, nullptr) << "Kessa.dll did not load: " << ::GetLastError(); }

    template <typename T>
    static T Bind(const char* name) {
        return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(s_module, name)));
    }

    static const BYTE* Image() { return reinterpret_cast<const BYTE*>(s_module); }
    static const IMAGE_DATA_DIRECTORY& Directory(int index) {
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Image());
        auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(Image() + dos->e_lfanew);
        return nt->OptionalHeader.DataDirectory[index];
    }

    static HMODULE s_module;
};
HMODULE KessaDll::s_module = nullptr;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}
}  // namespace

TEST_F(KessaDll, ExportsTheSeventeenNamesWithOrdinalsInNameOrder) {
    const IMAGE_DATA_DIRECTORY& dir = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(Image() + dir.VirtualAddress);
    EXPECT_EQ(exports->Base, 1u);
    ASSERT_EQ(exports->NumberOfFunctions, 17u);
    ASSERT_EQ(exports->NumberOfNames, 17u);
    auto names = reinterpret_cast<const DWORD*>(Image() + exports->AddressOfNames);
    auto ordinals = reinterpret_cast<const WORD*>(Image() + exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const std::string name = reinterpret_cast<const char*>(Image() + names[i]);
        EXPECT_EQ(name, kExportsInNameOrder[i]);
        EXPECT_EQ(exports->Base + ordinals[i], i + 1) << name;
        FARPROC byName = ::GetProcAddress(s_module, name.c_str());
        EXPECT_NE(byName, nullptr) << name;
        EXPECT_EQ(byName, ::GetProcAddress(s_module, MAKEINTRESOURCEA(i + 1))) << name;
    }
}

TEST_F(KessaDll, ImportsOnlySystemLibraries) {
    const std::vector<std::string> system = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll",
                                             "advapi32.dll", "user32.dll", "ntdll.dll"};
    const IMAGE_DATA_DIRECTORY& dir = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    ASSERT_NE(dir.VirtualAddress, 0u);
    for (auto desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(Image() + dir.VirtualAddress); desc->Name != 0;
         ++desc) {
        const std::string name = Lower(reinterpret_cast<const char*>(Image() + desc->Name));
        EXPECT_NE(std::find(system.begin(), system.end(), name), system.end()) << name;
    }
}

TEST_F(KessaDll, NullHandlesAreRefused) {
    uint8_t byte = 0xAA;
    int32_t value = 0x55;
    uint16_t word = 0x1234;
    uint8_t* data = nullptr;
    const uint8_t file[4] = {1, 2, 3, 4};
    struct Case {
        const char* name;
        std::function<int32_t()> call;
    } cases[] = {
        {"Kessa_GetFileCrc", [&] { return Bind<PFN_Kessa_GetFileCrc>("Kessa_GetFileCrc")(nullptr, file, 4, &word); }},
        {"Kessa_GetSarEnable", [&] { return Bind<PFN_Kessa_GetSarEnable>("Kessa_GetSarEnable")(nullptr, &byte); }},
        {"Kessa_GetSarIndex", [&] { return Bind<PFN_Kessa_GetSarIndex>("Kessa_GetSarIndex")(nullptr, &value); }},
        {"Kessa_GetSarValue",
         [&] { return Bind<PFN_Kessa_GetSarValue>("Kessa_GetSarValue")(nullptr, &data, &value); }},
        {"Kessa_GetSarVersion",
         [&] { return Bind<PFN_Kessa_GetSarVersion>("Kessa_GetSarVersion")(nullptr, &value, &word); }},
        {"Kessa_IsWrite",
         [&] { return Bind<PFN_Kessa_IsWrite>("Kessa_IsWrite")(nullptr, file, 4, file, 4, &byte); }},
        {"Kessa_SetDeviceRoot", [&] { return Bind<PFN_Kessa_SetDeviceRoot>("Kessa_SetDeviceRoot")(nullptr); }},
        {"Kessa_SetSarCallBack",
         [&] { return Bind<PFN_Kessa_SetSarCallBack>("Kessa_SetSarCallBack")(nullptr, nullptr, nullptr); }},
        {"Kessa_SetSarEnable", [&] { return Bind<PFN_Kessa_SetSarEnable>("Kessa_SetSarEnable")(nullptr, 1); }},
        {"Kessa_SetSarIndex", [&] { return Bind<PFN_Kessa_SetSarIndex>("Kessa_SetSarIndex")(nullptr, 2); }},
        {"Kessa_SetSarValue",
         [&] { return Bind<PFN_Kessa_SetSarValue>("Kessa_SetSarValue")(nullptr, file, 4); }},
        {"Kessa_SetSarVersion",
         [&] { return Bind<PFN_Kessa_SetSarVersion>("Kessa_SetSarVersion")(nullptr, 1, 2); }},
    };
    for (const Case& c : cases) {
        ASSERT_NE(::GetProcAddress(s_module, c.name), nullptr) << c.name;
        EXPECT_EQ(c.call(), KESSA_NULL_HANDLE) << c.name;
    }
    // Nothing was written through the out-pointers.
    EXPECT_EQ(byte, 0xAA);
    EXPECT_EQ(value, 0x55);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(data, nullptr);
    // The two exceptions: the ready query ignores the handle, the close looks it up.
    EXPECT_EQ(Bind<PFN_Kessa_GetIsMbimReady>("Kessa_GetIsMbimReady")(nullptr, &byte), KESSA_OK);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(Bind<PFN_Kessa_CloseDeviceServices>("Kessa_CloseDeviceServices")(nullptr), KESSA_FAILED);
}

TEST_F(KessaDll, BeforeInitNothingIsOpen) {
    uint8_t ready = 0xAA;
    EXPECT_EQ(Bind<PFN_Kessa_GetIsMbimReady>("Kessa_GetIsMbimReady")(nullptr, &ready), KESSA_OK);
    EXPECT_EQ(ready, 0);
    EXPECT_EQ(Bind<PFN_Kessa_OpenDeviceServices>("Kessa_OpenDeviceServices")(), nullptr);
    int dummy = 0;
    EXPECT_EQ(Bind<PFN_Kessa_CloseDeviceServices>("Kessa_CloseDeviceServices")(
                  reinterpret_cast<SarDeviceContext*>(&dummy)),
              KESSA_FAILED);
    // Not initialised: UnInit does nothing, also twice.
    EXPECT_EQ(Bind<PFN_Kessa_UnInit>("Kessa_UnInit")(), KESSA_OK);
    EXPECT_EQ(Bind<PFN_Kessa_UnInit>("Kessa_UnInit")(), KESSA_OK);
}

TEST_F(KessaDll, InitRefusesANullInterfaceIdAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Bind<PFN_Kessa_Init>("Kessa_Init")(nullptr), KESSA_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    uint8_t ready = 0xAA;
    Bind<PFN_Kessa_GetIsMbimReady>("Kessa_GetIsMbimReady")(nullptr, &ready);
    EXPECT_EQ(ready, 0);
}

TEST_F(KessaDll, IsWriteComparesFileChecksWithoutTheContext) {
    // The context is not touched: any non-null handle will do.
    int dummy = 0;
    auto handle = reinterpret_cast<SarDeviceContext*>(&dummy);
    const uint8_t a[12] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c'};
    const uint8_t b[12] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', 'x', 'y', 'z'};
    const uint8_t c[12] = {'0', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c'};
    auto isWrite = Bind<PFN_Kessa_IsWrite>("Kessa_IsWrite");
    struct Case {
        const uint8_t* a;
        uint16_t lengthA;
        const uint8_t* b;
        uint16_t lengthB;
        uint8_t equal;
    } cases[] = {{nullptr, 0, nullptr, 0, 1}, {a, 12, b, 12, 1}, {a, 12, c, 12, 0}, {a, 3, nullptr, 100, 1}};
    for (const Case& k : cases) {
        uint8_t equal = 0xAA;
        EXPECT_EQ(isWrite(handle, k.a, k.lengthA, k.b, k.lengthB, &equal), KESSA_OK);
        EXPECT_EQ(equal, k.equal);
    }
    EXPECT_EQ(dummy, 0);
}
