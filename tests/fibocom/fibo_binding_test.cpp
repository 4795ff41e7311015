// The Fibocom library binding against the simulated library: binding by name,
// the wrappers' failure paths, table verification and table writing.
#include <gtest/gtest.h>

#include "CFiboTarvoApi.h"
#include "FiboSarTables.h"
#include "FiboTestSupport.h"
#include "TestSupport.h"

#include <algorithm>
#include <memory>

using namespace fibotest;

namespace {
const char kStartKey[] = "Software\\TarvoSim\\Fibo";

const char* const kEntryPoints[] = {
    "get_IsMBIMReady",  "set_BodySarEnable", "get_BodySarEnable", "set_BodySarMode", "get_BodySarMode",
    "set_BodySarProfile", "get_BodySarProfile", "set_BodySarValue", "get_BodySarValue", "set_BodySarON",
    "get_BodySarON",    "set_BodySarClear",  "get_ImeiInfo",
};

// The wrapper of each entry point.
const char* const kWrappers[] = {
    "CFiboTarvoApi::GetIsMBIMReady", "CFiboTarvoApi::SetBodySarEn",   "CFiboTarvoApi::GetBodySarEn",
    "CFiboTarvoApi::SetBodySarMode", "CFiboTarvoApi::GetBodySarMode", "CFiboTarvoApi::SetBodySarProf",
    "CFiboTarvoApi::GetBodySarProf", "CFiboTarvoApi::SetBodySarVal",  "CFiboTarvoApi::GetBOdySarVal",
    "CFiboTarvoApi::SetBodySarOn",   "CFiboTarvoApi::GetBodySarOn",   "CFiboTarvoApi::SetBodySarClear",
    "CFiboTarvoApi::GetImeiInformation",
};

size_t MissingIndex(const std::string& entryPoint) {
    return static_cast<size_t>(std::find_if(std::begin(kEntryPoints), std::end(kEntryPoints),
                                            [&](const char* name) { return entryPoint == name; }) -
                               std::begin(kEntryPoints));
}

// Calls every wrapper once; the wrapper of each entry point in kEntryPoints order.
std::vector<int> CallEveryWrapper(CFiboTarvoApi& api) {
    int value = 0;
    char line[FIBO_TEXT_SIZE] = "1,205,\"0x1\"";
    char text[FIBO_TEXT_SIZE] = {};
    std::vector<int> results;
    results.push_back(api.GetIsMBIMReady() == 0 ? 1 : 0);
    results.push_back(api.SetBodySarEn());
    results.push_back(api.GetBodySarEn() == 0 ? 1 : 0);
    results.push_back(api.SetBodySarMode(1));
    results.push_back(api.GetBodySarMode(&value));
    results.push_back(api.SetBodySarProf(1));
    results.push_back(api.GetBodySarProf(&value));
    results.push_back(api.SetBodySarVal(line));
    results.push_back(api.GetBOdySarVal(text));
    results.push_back(api.SetBodySarOn(1));
    results.push_back(api.GetBodySarOn(&value));
    results.push_back(api.SetBodySarClear());
    results.push_back(api.GetImeiInformation().empty() ? 1 : 0);
    return results;
}

class FiboBinding : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::DeleteTree(kStartKey);
        StartCapture();
        ASSERT_TRUE(m_folder.IsAdded());
        ASSERT_TRUE(m_sim.IsLoaded());
        m_sim.Reset();
        m_api.reset(new CFiboTarvoApi());
    }
    void TearDown() override {
        m_api.reset();
        StopCapture();
    }

    CDllFolder m_folder{SimFolder()};
    CFiboSim m_sim{SimFolder()};
    std::unique_ptr<CFiboTarvoApi> m_api;
};
}  // namespace

TEST_F(FiboBinding, CompleteLibraryBindsEveryEntryPoint) {
    EXPECT_EQ(m_api->IsLoaded(), 1);
    EXPECT_TRUE(Logged("CFiboTarvoApi::Init", "fibo proc initialized"));
    EXPECT_FALSE(Logged("CFiboTarvoApi::CFiboTarvoApi", "Init fail"));
    std::vector<int> results = CallEveryWrapper(*m_api);
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], 0) << kEntryPoints[i];
        EXPECT_EQ(m_sim.Calls(kEntryPoints[i]), 1) << kEntryPoints[i];
    }
    EXPECT_TRUE(Logged("CFiboTarvoApi::SetBodySarEn", "BODYSAR feature enabled"));
    EXPECT_TRUE(Logged("CFiboTarvoApi::SetBodySarClear", "Body Sar cleared"));
}

TEST_F(FiboBinding, TableVerification) {
    std::vector<std::string> mode2 = ToVector(fibo_sar_tbl_2, 29);
    std::vector<std::string> l850 = ToVector(fibo_sar_tbl_l850, 23);
    std::vector<std::string> reversed(l850.rbegin(), l850.rend());
    std::vector<std::string> otherValue = l850;
    otherValue[8] = "2,180,\"0x8\"";  // band 4 with 180 in place of 175
    std::vector<std::string> shortMask = mode2;
    shortMask.erase(std::find(shortMask.begin(), shortMask.end(), "2,170,\"0x2\""));
    shortMask.push_back("2,170,\"0x2000000\"");

    struct Case {
        const char* name;
        std::string text;  // what the modem reports
        int fault;         // get_BodySarValue fails with this code, 0 none
        bool l850;
        int mode;
        int expected;
        std::vector<std::string> loggedMisses;  // L850 form only
    };
    const Case cases[] = {
        {"report fails: every L850 row a miss", JoinRows(l850, "\r\n"), 3, true, 2, 0, l850},
        {"report fails: every mode-2 row a miss", JoinRows(mode2, "\r\n"), 3, false, 2, 0, {}},
        {"all rows among other content, any order", "BODYSAR TABLE v1\n" + JoinRows(reversed, " ; x=1\n"), 0, true, 2,
         1, {}},
        {"mode-2 rows among L850 text", "hdr\n" + JoinRows(mode2, "|") + "trailer", 0, false, 2, 1, {}},
        {"a row with another value", JoinRows(otherValue, "\n"), 0, true, 2, 0, {l850[8]}},
        {"0x2 only inside 0x2000000", JoinRows(shortMask, "\n"), 0, false, 2, 0, {}},
        {"mode 0 set against mode-2 rows", JoinRows(mode2, "\n"), 0, false, 0, 0, {}},
        {"mode 1 of the L850 form uses the 29 rows, silently", JoinRows(l850, "\n"), 0, true, 1, 0, {}},
        {"mode 3 searches nothing", "", 0, false, 3, 1, {}},
        {"mode 3 of the L850 form searches nothing", "", 3, true, 3, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_sim.Reset();
        StartCapture();
        m_sim.SetReportedText(c.text.c_str());
        if (c.fault) m_sim.SetFault("get_BodySarValue", c.fault, 0, -1);
        int result = c.l850 ? m_api->IsSarTableCorrectL850(c.mode) : m_api->IsSarTableCorrect(c.mode);
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(m_sim.Calls("get_BodySarValue"), 1);
        std::vector<std::string> misses;
        for (const std::string& m : LoggedWithPrefix("CFiboTarvoApi::IsSarTableCorrectL850", "not same config at "))
            misses.push_back(m.substr(std::string("not same config at ").size()));
        EXPECT_EQ(misses, c.loggedMisses);
    }
}

TEST_F(FiboBinding, TableTextFillingTheWholeBufferIsCutInside) {
    // 1024 bytes and no terminator: the last row's closing quote lies on the last byte.
    std::string row = fibo_sar_tbl_l850[22];
    std::string text = std::string(FIBO_TEXT_SIZE - row.size(), ' ') + row + "beyond the buffer";
    m_sim.SetReportedText(text.c_str());
    char buffer[FIBO_TEXT_SIZE];
    std::fill(std::begin(buffer), std::end(buffer), 'x');
    EXPECT_EQ(m_api->GetBOdySarVal(buffer), 0);
    EXPECT_EQ(std::string(buffer), text.substr(0, FIBO_TEXT_SIZE - 1));
}

TEST_F(FiboBinding, WritesEachModesLinesAfterClearModeAndProfile) {
    struct Case {
        bool l850;
        int mode;
        std::vector<std::string> lines;
        std::vector<std::string> rows;
        const char* function;
    };
    const Case cases[] = {
        {false, 0, ToVector(fibo_sar_cmd_0, 4), ToVector(fibo_sar_tbl_0, 29), "CFiboTarvoApi::SetSarTable"},
        {false, 1, ToVector(fibo_sar_cmd_1, 4), ToVector(fibo_sar_tbl_1, 29), "CFiboTarvoApi::SetSarTable"},
        {false, 2, ToVector(fibo_sar_cmd_2, 4), ToVector(fibo_sar_tbl_2, 29), "CFiboTarvoApi::SetSarTable"},
        {true, 0, ToVector(fibo_sar_cmd_0, 4), ToVector(fibo_sar_tbl_0, 29), "CFiboTarvoApi::SetSarTableL850"},
        {true, 2, ToVector(fibo_sar_cmd_l850, 6), ToVector(fibo_sar_tbl_l850, 23), "CFiboTarvoApi::SetSarTableL850"},
        {false, 5, {}, {}, "CFiboTarvoApi::SetSarTable"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.function) + " mode " + std::to_string(c.mode));
        m_sim.Reset();
        m_sim.LoadLine("2,999,\"0x4\"");  // a stale row that the clear must remove
        StartCapture();
        EXPECT_EQ(c.l850 ? m_api->SetSarTableL850(c.mode) : m_api->SetSarTable(c.mode), 0);

        EXPECT_EQ(m_sim.AcceptedLines(), c.lines);
        EXPECT_EQ(m_sim.GetValue("RowCount"), static_cast<int>(c.rows.size()));
        EXPECT_EQ(m_sim.Calls("set_BodySarClear"), 1);
        EXPECT_EQ(m_sim.GetValue("BodySarMode"), 1);
        EXPECT_EQ(m_sim.GetValue("BodySarProfile"), 1);
        EXPECT_TRUE(Logged(c.function, "120s sleep to allow modem initialization"));
        EXPECT_TRUE(Logged(c.function, "BodySarMode: SW Control"));
        EXPECT_TRUE(Logged(c.function, "BodySarProfile: 1"));
        EXPECT_EQ(CountClockRequests(120000), 1);
        if (!c.rows.empty()) {
            EXPECT_TRUE(Logged("CFiboTarvoApi::SetSarTableAny", "Set Sar table success."));
            EXPECT_EQ(c.l850 ? m_api->IsSarTableCorrectL850(c.mode) : m_api->IsSarTableCorrect(c.mode), 1);
            for (const std::string& line : c.lines) EXPECT_TRUE(Logged("CFiboTarvoApi::SetSarTableAny", line));
        }
    }
}

TEST_F(FiboBinding, ProfileThatCannotBeSetWritesNoLine) {
    m_sim.SetFault("set_BodySarProfile", 2, 0, -1);
    EXPECT_EQ(m_api->SetSarTable(2), 0);
    EXPECT_TRUE(Logged("CFiboTarvoApi::SetBodySarProf", "MBIM tunnel lib cannot open"));
    EXPECT_FALSE(Logged("CFiboTarvoApi::SetSarTable", "BodySarProfile: 1"));
    EXPECT_EQ(m_sim.Calls("set_BodySarValue"), 0);
}

TEST_F(FiboBinding, BodySarModeAlreadySetIsNotSetAgain) {
    for (int mode : {1, 2}) {
        SCOPED_TRACE(mode);
        m_sim.Reset();
        m_sim.SetValue("BodySarMode", mode);
        StartCapture();
        EXPECT_EQ(m_api->SetSarTable(2), 0);
        EXPECT_EQ(m_sim.Calls("set_BodySarMode"), 0);
        EXPECT_EQ(m_sim.GetValue("BodySarMode"), mode);
        EXPECT_FALSE(Logged("CFiboTarvoApi::SetSarTable", "BodySarMode: SW Control"));
        EXPECT_EQ(m_sim.AcceptedLines(), ToVector(fibo_sar_cmd_2, 4));
    }
}

TEST_F(FiboBinding, ImeiInformation) {
    struct Case {
        const char* modem;
        int fault;
        const char* expected;
    };
    const Case cases[] = {
        {"866123045678901", 0, "866123045678901"},
        {"866123045678901", 3, ""},
        {"866123045678901", 4, ""},
        {"", 0, ""},
        // All 16 bytes filled: the text stops at 15 characters, inside the buffer.
        {"8661230456789012", 0, "866123045678901"},
        {"86612304567890123456", 0, "866123045678901"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.modem) + " fault " + std::to_string(c.fault));
        m_sim.Reset();
        StartCapture();
        m_sim.SetImei(c.modem);
        if (c.fault) m_sim.SetFault("get_ImeiInfo", c.fault, 0, 1);
        EXPECT_EQ(m_api->GetImeiInformation(), c.expected);
        if (c.fault) {
            EXPECT_TRUE(Logged("CFiboTarvoApi::GetImeiInformation", CFiboTarvoApi::GetResultText(c.fault)));
        }
    }
}

TEST_F(FiboBinding, Band66RowTravelsAsText) {
    const std::string line = "2,160,\"0x20000000000000000\",175,\"0x2\"";
    EXPECT_EQ(m_api->SetSarTableAny(&line, 1), 0);
    char text[FIBO_TEXT_SIZE] = {};
    m_api->GetBOdySarVal(text);
    std::string reported = text;
    EXPECT_NE(reported.find("2,160,\"0x20000000000000000\""), std::string::npos) << reported;
    EXPECT_NE(reported.find("2,175,\"0x2\""), std::string::npos) << reported;
    // Band 66 and band 2 stay two rows.
    EXPECT_EQ(m_sim.GetValue("RowCount"), 2);
}

TEST_F(FiboBinding, FailingLineIsResentThenGivenUp) {
    const std::vector<std::string> lines = ToVector(fibo_sar_cmd_2, 4);
    struct Case {
        const char* name;
        int failures;  // of line 2, -1 every send
        int expectedResult;
        int expectedSends;
        std::vector<std::string> expectedAccepted;
        int expectedRetries;
    };
    const Case cases[] = {
        {"two failures, then accepted", 2, 0, 4 + 2, lines, 2},
        {"fails every time", -1, 3, 1 + CFiboTarvoApi::kLineTries, {lines[0]}, CFiboTarvoApi::kLineTries - 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_sim.Reset();
        StartCapture();
        m_sim.SetFault("set_BodySarValue", 3, 1, c.failures);
        EXPECT_EQ(m_api->SetSarTableAny(lines.data(), static_cast<int>(lines.size())), c.expectedResult);
        EXPECT_EQ(m_sim.Calls("set_BodySarValue"), c.expectedSends);
        EXPECT_EQ(m_sim.AcceptedLines(), c.expectedAccepted);
        EXPECT_EQ(CountLogged("CFiboTarvoApi::SetSarTableAny",
                              "FIBO command send failError at SarTab: " + lines[1] + "Retrying..."),
                  c.expectedRetries);
        EXPECT_EQ(CountClockRequests(CFiboTarvoApi::kLineRetryPauseMs), 1 + c.expectedRetries);  // 1: the lead-in
        bool gaveUp = c.expectedResult != 0;
        EXPECT_EQ(Logged("CFiboTarvoApi::SetSarTableAny", "Set Sar table success."), !gaveUp);
        EXPECT_EQ(LoggedWithPrefix("CFiboTarvoApi::SetSarTableAny",
                                   "FIBO command send failError at SarTab: " + lines[1] + "Giving up")
                      .size(),
                  gaveUp ? 1u : 0u);
    }
}

TEST_F(FiboBinding, CheckMbimPollsWithAPauseAndABound) {
    struct Case {
        const char* name;
        int notReadyPolls;
        int fault;
        int expected;
        int expectedPolls;
    };
    const Case cases[] = {
        {"ready at once", 0, 0, 0, 1},
        {"ready at the fourth poll", 3, 0, 0, 4},
        {"never ready", 1000, 0, FIBO_RESULT_MBIM_NOT_READY, CFiboTarvoApi::kMbimPolls},
        {"poll fails", 2, 3, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_sim.Reset();
        StartCapture();
        m_sim.SetValue("MbimNotReadyPolls", c.notReadyPolls);
        if (c.fault) m_sim.SetFault("get_IsMBIMReady", c.fault, 0, -1);
        EXPECT_EQ(m_api->CheckMBIM(), c.expected);
        EXPECT_EQ(m_sim.Calls("get_IsMBIMReady"), c.expectedPolls);
        int pauses = c.fault ? 0 : c.expectedPolls - 1;
        EXPECT_EQ(CountClockRequests(CFiboTarvoApi::kMbimPollPauseMs), pauses);
        EXPECT_EQ(ClockRequests().size(), static_cast<size_t>(pauses));
        if (c.fault) {
            EXPECT_TRUE(Logged("CFiboTarvoApi::CheckMBIM", "FIBO command send fail"));
        }
        EXPECT_EQ(Logged("CFiboTarvoApi::CheckMBIM",
                         "MBIM not ready after " + std::to_string(CFiboTarvoApi::kMbimPolls) + " polls"),
                  c.expected == FIBO_RESULT_MBIM_NOT_READY);
    }
}

// A library that lacks one entry point: the other twelve stay bound.
struct MissingName {
    const char* entryPoint;
    const char* message;
};
void PrintTo(const MissingName& name, std::ostream* os) { *os << name.entryPoint; }

class FiboBindingMissingName : public ::testing::TestWithParam<MissingName> {};

TEST_P(FiboBindingMissingName, TwelveBoundAndOneMessage) {
    const std::string missing = GetParam().entryPoint;
    StartCapture();
    {
        CDllFolder folder(MissingVariantFolder(missing));
        CFiboSim sim(MissingVariantFolder(missing));
        ASSERT_TRUE(folder.IsAdded());
        ASSERT_TRUE(sim.IsLoaded());
        sim.Reset();
        sim.SetValue("BodySarEnable", 1);
        CFiboTarvoApi api;
        EXPECT_EQ(api.IsLoaded(), 1);
        EXPECT_TRUE(Logged("CFiboTarvoApi::CFiboTarvoApi", "Init fail"));
        EXPECT_FALSE(Logged("CFiboTarvoApi::Init", "fibo proc initialized"));
        EXPECT_EQ(LoggedWithPrefix("CFiboTarvoApi::Init", ""), std::vector<std::string>{GetParam().message});

        StartCapture();
        std::vector<int> results = CallEveryWrapper(api);
        for (size_t i = 0; i < results.size(); ++i) {
            SCOPED_TRACE(kEntryPoints[i]);
            bool isMissing = missing == kEntryPoints[i];
            EXPECT_EQ(sim.Calls(kEntryPoints[i]), isMissing ? 0 : 1);
            EXPECT_EQ(results[i], isMissing ? FIBO_RESULT_LIB_NULL : 0);
        }
        EXPECT_EQ(CountLogged(kWrappers[MissingIndex(missing)], "MBIM tunnel lib is NULL"), 1);
        EXPECT_EQ(api.Init(), 0);
    }
    StopCapture();
}

INSTANTIATE_TEST_SUITE_P(
    EachEntryPoint, FiboBindingMissingName,
    ::testing::Values(MissingName{"get_IsMBIMReady", "IsMBIMReady address not loaded"},
                      MissingName{"set_BodySarEnable", "setBodySarEn address not loaded"},
                      MissingName{"get_BodySarEnable", "getbodysaren address not loaded"},
                      MissingName{"set_BodySarMode", "setbodysarmode address not loaded"},
                      MissingName{"get_BodySarMode", "getbodysarmode address not loaded"},
                      MissingName{"set_BodySarProfile", "setbodysarprof address not loaded"},
                      MissingName{"get_BodySarProfile", "getbodysarprof address not loaded"},
                      MissingName{"set_BodySarValue", "setbodysarvalue address not loaded"},
                      MissingName{"get_BodySarValue", "getbodysarval address not loaded"},
                      MissingName{"set_BodySarON", "setbodySarOn address not loaded"},
                      MissingName{"get_BodySarON", "getbodysaron address not loaded"},
                      MissingName{"set_BodySarClear", "setbodysarclear address not loaded"},
                      MissingName{"get_ImeiInfo", "getimeiinfo address not loaded"}),
    [](const ::testing::TestParamInfo<MissingName>& info) { return std::string(info.param.entryPoint); });

TEST(FiboBindingAbsent, NoLibraryLeavesEveryOperationFailing) {
    ASSERT_EQ(::GetModuleHandleW(L"fiboTarvoApi.dll"), nullptr);
    StartCapture();
    {
        CFiboTarvoApi api;
        EXPECT_TRUE(Logged("CFiboTarvoApi::CFiboTarvoApi", "FiboTarvoApi.dll NOT FOUND"));
        EXPECT_FALSE(Logged("CFiboTarvoApi::CFiboTarvoApi", "Init fail"));
        EXPECT_EQ(api.IsLoaded(), 0);
        for (int result : CallEveryWrapper(api)) EXPECT_EQ(result, FIBO_RESULT_LIB_NULL);
        EXPECT_TRUE(Logged("CFiboTarvoApi::SetBodySarMode", "MBIM tunnel lib is NULL"));
        // Nothing to poll is not "ready": the driver's start-up must fail.
        EXPECT_EQ(api.CheckMBIM(), FIBO_RESULT_LIB_NULL);
        EXPECT_EQ(api.IsSarTableCorrect(2), 0);
        EXPECT_EQ(api.IsSarTableCorrectL850(2), 0);
    }
    StopCapture();
}

TEST(FiboBindingAbsent, UnloadableLibraryLogsItsError) {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring folder = std::wstring(temp) + L"fibo_unloadable";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::string junk = "not a program";
    ASSERT_TRUE(testsupport::WriteFileBytes(folder + L"\\fiboTarvoApi.dll",
                                            std::vector<BYTE>(junk.begin(), junk.end())));
    StartCapture();
    {
        CDllFolder added(folder);
        CFiboTarvoApi api;
        EXPECT_EQ(api.IsLoaded(), 0);
        std::vector<std::string> lines = LoggedWithPrefix("CFiboTarvoApi::CFiboTarvoApi", "Failed to load FiboTarvoApi.dll error: ");
        ASSERT_EQ(lines.size(), 1u);
        long code = std::stol(lines[0].substr(std::string("Failed to load FiboTarvoApi.dll error: ").size()));
        EXPECT_NE(code, 0);
        EXPECT_NE(code, ERROR_MOD_NOT_FOUND);
    }
    StopCapture();
    testsupport::RemoveFile(folder + L"\\fiboTarvoApi.dll");
    ::RemoveDirectoryW(folder.c_str());
}
