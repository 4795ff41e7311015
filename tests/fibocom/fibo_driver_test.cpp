// The Fibocom modem object's start-up against the simulated library: table
// choice by model, verify and rewrite, body-SAR mode, the stored IMEI, the
// bounded waits; and a back-off state that is neither on nor off.
#include <gtest/gtest.h>

#include "CClock.h"
#include "CFiboTarvoApi.h"
#include "CWWANFibocom.h"
#include "FiboSarTables.h"
#include "FiboTestSupport.h"
#include "Handles.h"
#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace fibotest;

namespace {
const char kStartKey[] = "Software\\TarvoSim\\Fibo";
const char kWwanKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters\\WWAN";
const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";
const char kInitialize[] = "CWWANFibocom::Initialize";
const char kModemImei[] = "866123045678901";

std::vector<std::string> Mode2Lines() { return ToVector(fibo_sar_cmd_2, 4); }
std::vector<std::string> L850Lines() { return ToVector(fibo_sar_cmd_l850, 6); }

// The stored IMEI, or "<none>" when the key or the value is missing.
std::string StoredImei() {
    char buffer[256] = {};
    DWORD size = sizeof(buffer);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, kWwanKey, "IMEI", RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return "<none>";
    return buffer;
}

std::vector<std::string> MissingFrom(const std::string& text, const std::vector<std::string>& rows) {
    std::vector<std::string> missing;
    for (const std::string& row : rows)
        if (text.find(row) == std::string::npos) missing.push_back(row);
    return missing;
}

class FiboDriver : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::DeleteTree(kStartKey);
        testsupport::DeleteTree(kWwanKey);
        ASSERT_TRUE(m_folder.IsAdded());
        ASSERT_TRUE(m_sim.IsLoaded());
        Fresh();
    }
    void TearDown() override {
        testsupport::DeleteTree(kWwanKey);
        StopCapture();
    }
    // A modem of the factory's state and an empty capture.
    void Fresh() {
        m_sim.Reset();
        StartCapture();
    }
    void LoadTable(const std::vector<std::string>& lines) {
        for (const std::string& line : lines) ASSERT_EQ(m_sim.LoadLine(line.c_str()), 0) << line;
    }

    CDllFolder m_folder{SimFolder()};
    CFiboSim m_sim{SimFolder()};
};
}  // namespace

TEST_F(FiboDriver, ModelChoosesTheTableItWritesAndVerifies) {
    struct Case {
        const wchar_t* model;
        std::vector<std::string> lines;
        std::vector<std::string> rows;
        const char* notCorrect;
    };
    const char* l850NotCorrect = "L850 SAR Table is not correct. Initializing values.";
    const char* genericNotCorrect = "SAR Table is not correct. Initializing values.";
    const Case cases[] = {
        {L"Fibocom L850-GL", L850Lines(), ToVector(fibo_sar_tbl_l850, 23), l850NotCorrect},
        {L"Fibocom L860-GL", Mode2Lines(), ToVector(fibo_sar_tbl_2, 29), genericNotCorrect},
        // Only the exact L850 name takes the L850 table.
        {L"fibocom l850-gl", Mode2Lines(), ToVector(fibo_sar_tbl_2, 29), genericNotCorrect},
        {L"Fibocom L850-GL ", Mode2Lines(), ToVector(fibo_sar_tbl_2, 29), genericNotCorrect},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model, c.model + wcslen(c.model)));
        Fresh();
        CWWANFibocom modem(c.model);
        EXPECT_EQ(modem.GetModelName(), c.model);
        EXPECT_EQ(modem.Initialize(), 1);

        EXPECT_EQ(m_sim.AcceptedLines(), c.lines);
        EXPECT_EQ(m_sim.GetValue("RowCount"), static_cast<int>(c.rows.size()));
        std::string table = m_sim.TableText();
        EXPECT_TRUE(MissingFrom(table, c.rows).empty()) << table;
        EXPECT_EQ(CountLogged(kInitialize, c.notCorrect), 1);
        EXPECT_EQ(CountClockRequests(CFiboTarvoApi::kModemStartupSleepMs), 1);
        EXPECT_TRUE(Logged(kInitialize, "\n" + table + "\n"));
    }
}

TEST_F(FiboDriver, TableThatVerifiesAtOnceIsNotRewritten) {
    const std::pair<const wchar_t*, std::vector<std::string>> cases[] = {
        {L"Fibocom L850-GL", L850Lines()},
        {L"Fibocom L860-GL", Mode2Lines()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first, c.first + wcslen(c.first)));
        Fresh();
        LoadTable(c.second);
        m_sim.SetValue("BodySarMode", 1);
        CWWANFibocom modem(c.first);
        EXPECT_EQ(modem.Initialize(), 1);
        EXPECT_EQ(m_sim.Calls("set_BodySarClear"), 0);
        EXPECT_EQ(m_sim.Calls("set_BodySarValue"), 0);
        EXPECT_TRUE(ClockRequests().empty());
        EXPECT_TRUE(LoggedWithPrefix(kInitialize, "L850 SAR Table").empty());
        EXPECT_TRUE(LoggedWithPrefix(kInitialize, "SAR Table").empty());
        EXPECT_TRUE(LoggedWithPrefix("CFiboTarvoApi::IsSarTableCorrectL850", "not same config at ").empty());
        EXPECT_TRUE(Logged(kInitialize, "\n" + m_sim.TableText() + "\n"));
    }
}

TEST_F(FiboDriver, BodySarModeIsSetOnlyWhenZero) {
    for (int mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        Fresh();
        LoadTable(Mode2Lines());
        m_sim.SetValue("BodySarMode", mode);
        CWWANFibocom modem(L"Fibocom L860-GL");
        EXPECT_EQ(modem.Initialize(), 1);
        EXPECT_EQ(m_sim.Calls("set_BodySarEnable"), 1);
        EXPECT_EQ(m_sim.GetValue("BodySarEnable"), 1);
        EXPECT_EQ(m_sim.Calls("set_BodySarMode"), mode == 0 ? 1 : 0);
        EXPECT_EQ(m_sim.GetValue("BodySarMode"), mode == 0 ? 1 : mode);
        EXPECT_EQ(Logged(kInitialize, "BodySarMode: SW Control"), mode == 0);
    }
}

TEST_F(FiboDriver, StoredImeiFollowsTheModem) {
    struct Case {
        const char* name;
        const char* stored;  // null: no WWAN key
        const char* modem;
        int imeiFaultSkip;   // get_ImeiInfo fails after this many calls, -1 never
        const char* expectedStored;
        bool written;
    };
    const Case cases[] = {
        {"nothing stored", nullptr, kModemImei, -1, kModemImei, true},
        {"same IMEI", kModemImei, kModemImei, -1, kModemImei, false},
        {"another IMEI", "352000000000001", kModemImei, -1, kModemImei, true},
        {"stored begins with the modem's", "866123045678901999", kModemImei, -1, kModemImei, true},
        {"stored empty", "", kModemImei, -1, kModemImei, true},
        {"modem reports none", "352000000000001", "", -1, "352000000000001", false},
        {"modem reports none, nothing stored", nullptr, "", -1, "<none>", false},
        {"IMEI read fails", "352000000000001", kModemImei, 0, "352000000000001", false},
        {"second IMEI read fails", "352000000000001", kModemImei, 1, "352000000000001", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        testsupport::DeleteTree(kWwanKey);
        if (c.stored) {
            ASSERT_TRUE(testsupport::SetString(kWwanKey, "IMEI", c.stored));
        }
        LoadTable(Mode2Lines());
        m_sim.SetImei(c.modem);
        if (c.imeiFaultSkip >= 0) m_sim.SetFault("get_ImeiInfo", 3, c.imeiFaultSkip, -1);
        CWWANFibocom modem(L"Fibocom L860-GL");
        EXPECT_EQ(modem.Initialize(), 1);
        EXPECT_EQ(StoredImei(), c.expectedStored);
        EXPECT_EQ(Logged("CWWANFibocom::WriteImeiInfo", "IMEI write registry success"), c.written);
    }
}

TEST_F(FiboDriver, MbimNotReadyEndsStartUpBeforeAnyChange) {
    struct Case {
        const char* name;
        int notReadyPolls;
        int fault;
    };
    const Case cases[] = {
        {"readiness poll fails", 0, 3},
        {"never ready", 100000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        m_sim.SetValue("MbimNotReadyPolls", c.notReadyPolls);
        if (c.fault) m_sim.SetFault("get_IsMBIMReady", c.fault, 0, -1);
        CWWANFibocom modem(L"Fibocom L860-GL");
        EXPECT_EQ(modem.Initialize(), 0);
        EXPECT_EQ(m_sim.Calls("set_BodySarEnable"), 0);
        EXPECT_EQ(m_sim.Calls("set_BodySarMode"), 0);
        EXPECT_EQ(m_sim.Calls("get_ImeiInfo"), 0);
        EXPECT_EQ(m_sim.Calls("set_BodySarValue"), 0);
        EXPECT_EQ(StoredImei(), "<none>");
    }
}

TEST_F(FiboDriver, RewritesAreBoundedAndRunOnTheFastClock) {
    struct Case {
        const char* name;
        const char* faultEntry;
        int faultCount;
        int expected;
        int expectedRewrites;
    };
    const Case cases[] = {
        // The first rewrite loses its first line (given up after its tries); the second takes.
        {"verifies after the second rewrite", "set_BodySarValue", CFiboTarvoApi::kLineTries, 1, 2},
        {"never verifies", "get_BodySarValue", -1, 0, CWWANFibocom::kMaxTableRewrites},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        m_sim.SetFault(c.faultEntry, 3, 0, c.faultCount);
        CWWANFibocom modem(L"Fibocom L860-GL");
        DWORD started = ::GetTickCount();
        EXPECT_EQ(modem.Initialize(), c.expected);
        EXPECT_LT(::GetTickCount() - started, 30000u);
        EXPECT_EQ(CountClockRequests(CFiboTarvoApi::kModemStartupSleepMs), c.expectedRewrites);
        EXPECT_EQ(CountLogged(kInitialize, "SAR Table is not correct. Initializing values."), c.expectedRewrites);
        EXPECT_EQ(Logged(kInitialize, "SAR Table still not correct after " +
                                          std::to_string(CWWANFibocom::kMaxTableRewrites) + " rewrites"),
                  c.expected == 0);
        if (c.expected == 1) {
            EXPECT_EQ(m_sim.GetValue("RowCount"), 29);
        } else {
            EXPECT_EQ(m_sim.Calls("get_BodySarValue"), CWWANFibocom::kMaxTableRewrites + 1);
        }
    }
}

TEST_F(FiboDriver, StopEndsEachWaitWithinASecond) {
    struct Case {
        const char* name;
        DWORD divisor;                        // the wait stays long enough to stop it in its course
        std::function<void(CFiboSim&)> arrange;
        std::function<int()> run;             // on a thread whose waits the stop ends
        DWORD waitMs;                         // the stop comes while this wait...
        int request;                          // ...at its n-th request, runs
        int expected;
        const char* function;                 // the one line saying so
        const char* line;
    };
    auto initialize = [] { return CWWANFibocom(L"Fibocom L860-GL").Initialize(); };
    const Case cases[] = {
        {"the 120 s wait before a rewrite", 10, [](CFiboSim&) {}, initialize, CFiboTarvoApi::kModemStartupSleepMs, 1, 0,
         "CFiboTarvoApi::SetSarTable", "Stop requested, modem initialization wait ended, nothing written"},
        {"the readiness polls", 1, [](CFiboSim& sim) { sim.SetValue("MbimNotReadyPolls", 100000); }, initialize,
         CFiboTarvoApi::kMbimPollPauseMs, 2, 0, "CFiboTarvoApi::CheckMBIM", "Stop requested, MBIM ready wait ended"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        CClock::SetDivisor(c.divisor);
        c.arrange(m_sim);
        CUniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(stop.IsValid());
        int result = -1;
        std::chrono::steady_clock::time_point ended;
        std::thread worker([&] {
            CClock::CThreadStopScope scope(stop.Get());
            result = c.run();
            ended = std::chrono::steady_clock::now();
        });
        const bool waiting = testsupport::WaitUntil(
            [&] { return CountClockRequests(c.waitMs) >= c.request; }, std::chrono::milliseconds(10000));
        // The clock hears of a wait just before it begins.
        ::Sleep(100);
        const auto stopped = std::chrono::steady_clock::now();
        ::SetEvent(stop.Get());
        worker.join();
        ASSERT_TRUE(waiting);
        EXPECT_LT(ended - stopped, std::chrono::seconds(1));
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(CountLogged(c.function, c.line), 1);
        EXPECT_EQ(CountClockRequests(c.waitMs), c.request) << "no wait after the stop";
        EXPECT_EQ(m_sim.Calls("set_BodySarClear"), 0);
        EXPECT_TRUE(m_sim.AcceptedLines().empty());
    }
}

// A stop at each point of a rewrite, landed through the worker's own stop
// event: up to the clear the modem keeps its old table; from the clear on the
// write runs to its end, pauses and retries included. Either way no further
// pass follows, and the start-up reports the stop.
TEST_F(FiboDriver, StopDuringARewriteLeavesTheOldTableOrTheWholeNewOne) {
    enum class Left { OldTable, NewTable };
    struct Case {
        const char* name;
        const char* atLine;  // the stop comes as this line is written...
        DWORD waitMs;        // ...or as this wait is asked of the clock...
        int request;         // ...for the n-th time
        int lineFailures;    // sends of the second line that fail before it is accepted
        Left left;
    };
    const Case cases[] = {
        {"in the 120 s wait", nullptr, CFiboTarvoApi::kModemStartupSleepMs, 1, 0, Left::OldTable},
        {"after the check that calls for the rewrite",
         "CWWANFibocom::Initialize\tDEBUG\tSAR Table is not correct. Initializing values.", 0, 0, 0, Left::OldTable},
        {"right after the clear", "CFiboTarvoApi::SetBodySarClear\tDEBUG\tBody Sar cleared", 0, 0, 0,
         Left::NewTable},
        {"in the 1 s pause before the lines", nullptr, CFiboTarvoApi::kTableWriteSleepMs, 1, 0, Left::NewTable},
        // The first 1 s request is the pause before the lines, the second the first retry's.
        {"in a line retry", nullptr, CFiboTarvoApi::kLineRetryPauseMs, 2, 2, Left::NewTable},
    };
    const std::vector<std::string> oldLines = ToVector(fibo_sar_cmd_0, 4);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        LoadTable(oldLines);
        const std::string oldTable = m_sim.TableText();
        if (c.lineFailures) m_sim.SetFault("set_BodySarValue", 3, 1, c.lineFailures);
        CUniqueHandle stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(stop.IsValid());
        // The hooks run on the worker: the stop lands exactly at the chosen point.
        if (c.atLine) {
            const std::string at = c.atLine;
            SetLogHook([&stop, at](const std::string& line) {
                if (line == at) ::SetEvent(stop.Get());
            });
        } else {
            int seen = 0;
            SetClockHook([&stop, &c, seen](DWORD ms) mutable {
                if (ms == c.waitMs && ++seen == c.request) ::SetEvent(stop.Get());
            });
        }
        int result = -1;
        std::thread worker([&] {
            CClock::CThreadStopScope scope(stop.Get());
            result = CWWANFibocom(L"Fibocom L860-GL").Initialize();
        });
        worker.join();
        SetLogHook(nullptr);
        SetClockHook(nullptr);
        ASSERT_EQ(::WaitForSingleObject(stop.Get(), 0), WAIT_OBJECT_0) << "the stop never came";

        EXPECT_EQ(result, 0);
        EXPECT_EQ(CountClockRequests(CFiboTarvoApi::kModemStartupSleepMs), 1) << "one rewrite pass";
        EXPECT_EQ(m_sim.Calls("get_BodySarValue"), 1) << "no verification after it";
        const std::string table = m_sim.TableText();
        if (c.left == Left::OldTable) {
            EXPECT_EQ(table, oldTable);
            EXPECT_EQ(m_sim.Calls("set_BodySarClear"), 0);
            EXPECT_EQ(m_sim.Calls("set_BodySarValue"), 0);
            EXPECT_EQ(CountLogged("CFiboTarvoApi::SetSarTable",
                                  "Stop requested, modem initialization wait ended, nothing written"),
                      1);
        } else {
            EXPECT_EQ(m_sim.AcceptedLines(), Mode2Lines());
            EXPECT_EQ(m_sim.GetValue("RowCount"), 29);
            EXPECT_TRUE(MissingFrom(table, ToVector(fibo_sar_tbl_2, 29)).empty()) << table;
            EXPECT_EQ(m_sim.Calls("set_BodySarValue"), 4 + c.lineFailures);
            EXPECT_EQ(CountClockRequests(CFiboTarvoApi::kLineRetryPauseMs), 1 + c.lineFailures);
            EXPECT_EQ(CountLogged("CFiboTarvoApi::SetSarTableAny", "Stop requested, table write goes on to its end"),
                      1);
            EXPECT_TRUE(Logged("CFiboTarvoApi::SetSarTableAny", "Set Sar table success."));
        }
    }
}

TEST_F(FiboDriver, StateOtherThanOnOrOffSendsNothing) {
    for (uint8_t state : {uint8_t(2), uint8_t(0xFF)}) {
        SCOPED_TRACE(static_cast<int>(state));
        Fresh();
        ASSERT_TRUE(testsupport::SetDword(kParametersKey, "CurrentStatus", 0x10));
        CWWANFibocom modem(L"Fibocom L860-GL");
        EXPECT_EQ(modem.RunTarvoHandler(state), 1);
        EXPECT_TRUE(Logged("CWWANFibocom::RunTarvoHandler", "MB SAR enable Tarvo failed"));
        EXPECT_FALSE(Logged("CWWANFibocom::RunTarvoHandler", "Tarvo on"));
        EXPECT_FALSE(Logged("CWWANFibocom::RunTarvoHandler", "Tarvo Off"));
        EXPECT_TRUE(LoggedWithPrefix("MBSar::EnableTarvo", "").empty());
        DWORD status = 0;
        EXPECT_TRUE(testsupport::GetDword(kParametersKey, "CurrentStatus", status));
        EXPECT_EQ(status, 0x10u);
    }
    testsupport::DeleteValue(kParametersKey, "CurrentStatus");
}

TEST_F(FiboDriver, OneBindingForEveryCaller) {
    std::atomic<bool> go{false};
    CFiboTarvoApi* seen[8] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&go, &slot] {
        while (!go) std::this_thread::yield();
        slot = CFiboTarvoApi::GetInstance();
    });
    go = true;
    for (std::thread& t : threads) t.join();
    ASSERT_NE(seen[0], nullptr);
    for (CFiboTarvoApi* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(CFiboTarvoApi::GetInstance(), seen[0]);
    EXPECT_LE(CountLogged("CFiboTarvoApi::GetInstance", "New Fibocom Instance"), 1);
    CUniqueHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, "FiboTarvoApiMutex"));
    EXPECT_TRUE(mutex.IsValid());
}
