// The simulated library itself, where the Fibocom tests rely on it: its start
// state and call log for a modem in another process, and its line parser.
#include <gtest/gtest.h>

#include "FiboTestSupport.h"
#include "Handles.h"
#include "TestSupport.h"

using namespace fibotest;

namespace {
const char kStartKey[] = "Software\\TarvoSim\\Fibo";

bool SetMultiString(const std::string& key, const std::string& name, const std::vector<std::string>& values) {
    std::string data;
    for (const std::string& value : values) data += value + '\0';
    data += '\0';
    CUniqueHKey hkey;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hkey.Put(),
                          nullptr) != ERROR_SUCCESS)
        return false;
    return ::RegSetValueExA(hkey.Get(), name.c_str(), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}
}  // namespace

TEST(FiboSim, StartStateAndCallLogComeFromTheRegistry) {
    CFiboSim sim(SimFolder());
    ASSERT_TRUE(sim.IsLoaded());
    std::wstring logW = testsupport::BuildPathW(L"fibo_sim_calls.log");
    std::string logA(logW.begin(), logW.end());
    testsupport::RemoveFile(logW);
    testsupport::DeleteTree(kStartKey);
    ASSERT_TRUE(testsupport::SetDword(kStartKey, "MbimNotReadyPolls", 1));
    ASSERT_TRUE(testsupport::SetDword(kStartKey, "BodySarMode", 1));
    ASSERT_TRUE(testsupport::SetString(kStartKey, "Imei", "351234567890123"));
    ASSERT_TRUE(testsupport::SetString(kStartKey, "CallLog", logA));
    ASSERT_TRUE(SetMultiString(kStartKey, "TableLines", {"1,205,\"0x1\",170,\"0x2\"", "2,160,\"0x20000000000000000\""}));
    ASSERT_TRUE(testsupport::SetDword(std::string(kStartKey) + "\\Faults\\set_BodySarProfile", "Result", 2));
    sim.Reset();

    using ReadyFn = int(WINAPI*)(int*);
    using IntFn = int(WINAPI*)(int);
    using TextFn = int(WINAPI*)(char*);
    HMODULE module = ::GetModuleHandleW(L"fiboTarvoApi.dll");
    auto isReady = reinterpret_cast<ReadyFn>(::GetProcAddress(module, "get_IsMBIMReady"));
    auto getMode = reinterpret_cast<ReadyFn>(::GetProcAddress(module, "get_BodySarMode"));
    auto setProfile = reinterpret_cast<IntFn>(::GetProcAddress(module, "set_BodySarProfile"));
    auto getImei = reinterpret_cast<TextFn>(::GetProcAddress(module, "get_ImeiInfo"));
    ASSERT_TRUE(isReady && getMode && setProfile && getImei);

    int value = -1;
    EXPECT_EQ(isReady(&value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(isReady(&value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(getMode(&value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(setProfile(1), 2);
    EXPECT_EQ(setProfile(1), 2);
    char imei[16] = {};
    EXPECT_EQ(getImei(imei), 0);
    EXPECT_STREQ(imei, "351234567890123");
    EXPECT_EQ(sim.TableText(), "1,205,\"0x1\"\r\n1,170,\"0x2\"\r\n2,160,\"0x20000000000000000\"\r\n");
    EXPECT_EQ(sim.GetValue("BodySarProfile"), 0);

    EXPECT_EQ(testsupport::ReadFileText(logW),
              "get_IsMBIMReady 0 -> 0\r\nget_IsMBIMReady 1 -> 0\r\nget_BodySarMode 1 -> 0\r\n"
              "set_BodySarProfile  -> 2\r\nset_BodySarProfile  -> 2\r\nget_ImeiInfo 351234567890123 -> 0\r\n");

    testsupport::DeleteTree(kStartKey);
    sim.Reset();
    EXPECT_EQ(sim.GetValue("BodySarMode"), 0);
    EXPECT_EQ(sim.GetValue("RowCount"), 0);
    testsupport::RemoveFile(logW);
}

TEST(FiboSim, LinesParseIntoRowsOrAreRefused) {
    CFiboSim sim(SimFolder());
    ASSERT_TRUE(sim.IsLoaded());
    testsupport::DeleteTree(kStartKey);
    struct Case {
        const char* line;
        int result;
        const char* table;  // after the line, on an empty table
    };
    const Case cases[] = {
        {"2,170,\"0x2\"", 0, "2,170,\"0x2\"\r\n"},
        {"2,170,\"0x2\",180,\"0x2\"", 0, "2,180,\"0x2\"\r\n"},  // same band: replaced
        {"2,170,\"0x2\",180,\"0x02\"", 0, "2,180,\"0x02\"\r\n"},
        {"1,170,\"0x2\",180,\"0x2000000\"", 0, "1,170,\"0x2\"\r\n1,180,\"0x2000000\"\r\n"},
        {"", 4, ""},
        {"2", 4, ""},
        {"2,170", 4, ""},
        {"2,170,0x2", 4, ""},
        {"2,170,\"0x\"", 4, ""},
        {"2,170,\"2\"", 4, ""},
        {"2,170,\"0x2\",", 4, ""},
        {"2,170,\"0x2\",180", 4, ""},
        {"x,170,\"0x2\"", 4, ""},
        {"2,170,\"0x2\" ", 4, ""},
        {"2,-170,\"0x2\"", 4, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        sim.Reset();
        EXPECT_EQ(sim.LoadLine(c.line), c.result);
        EXPECT_EQ(sim.TableText(), c.table);
    }

    // A table larger than the buffer is reported in whole rows, terminator included.
    sim.Reset();
    for (int band = 0; band < 60; ++band)
        ASSERT_EQ(sim.LoadLine(("2,160,\"0x1" + std::string(static_cast<size_t>(band), '0') + "\"").c_str()), 0);
    EXPECT_EQ(sim.GetValue("RowCount"), 60);
    std::string text = sim.TableText();
    EXPECT_LE(text.size(), 1023u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}
