#include "CHelpers.h"
#include "LogCapture.h"
#include "TestSupport.h"
#include "WideToUtf8.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";

class CurrentStatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::DeleteValue(kParameters, "CurrentStatus");
        CHelpers::InitStateLock();
    }
    void TearDown() override { testsupport::DeleteValue(kParameters, "CurrentStatus"); }

    static DWORD Stored() {
        DWORD value = 0xDEADBEEF;
        testsupport::GetDword(kParameters, "CurrentStatus", value);
        return value;
    }
};
}  // namespace

TEST_F(CurrentStatusTest, MissingValueIsCreatedWithTheSourceBit) {
    // The key is there, the value is not: the read logs it.
    ASSERT_TRUE(testsupport::SetDword(kParameters, "Other", 0));
    testsupport::DeleteValue(kParameters, "Other");
    CLogCapture capture;
    CHelpers::WriteTarvoState(true, TARVO_SOURCE_MODEM);
    EXPECT_EQ(Stored(), 0x10u);
    EXPECT_EQ(CLogCapture::Count("CHelpers::ReadTarvoState\tERROR\tTarvo current state registry not found"), 1u);
    CLogCapture::Clear();
    CHelpers::WriteTarvoState(true, TARVO_SOURCE_PSENSOR);
    EXPECT_EQ(Stored(), 0x11u);
    EXPECT_TRUE(CLogCapture::All().empty());
}

TEST_F(CurrentStatusTest, MissingKeyIsCreatedWithoutAReadLine) {
    testsupport::DeleteTree(kParameters);
    CLogCapture capture;
    CHelpers::WriteTarvoState(true, TARVO_SOURCE_PSENSOR);
    EXPECT_EQ(Stored(), 0x1u);
    EXPECT_FALSE(CLogCapture::Has("Tarvo current state registry not found"));
}

TEST_F(CurrentStatusTest, EachWriteTouchesOnlyItsOwnGroup) {
    struct Case {
        DWORD before;
        bool on;
        int source;
        DWORD after;
    } cases[] = {
        {0x1011, false, 0, 0x1010},  {0x10001, false, 1, 0x10001}, {0x0, true, 3, 0x1000},
        {0x1111, false, 3, 0x0111},  {0x0, true, 4, 0x10000},      {0xF0, false, 1, 0x0},
        {0x1234, true, 5, 0x1234},   {0x1234, false, -1, 0x1234},  {0x100, true, 2, 0x100},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(testsupport::SetDword(kParameters, "CurrentStatus", c.before));
        CHelpers::WriteTarvoState(c.on, c.source);
        EXPECT_EQ(Stored(), c.after) << std::hex << c.before << " source " << c.source;
    }
}

TEST_F(CurrentStatusTest, WrongTypeReadsAsZeroAndIsReplaced) {
    ASSERT_TRUE(testsupport::SetString(kParameters, "CurrentStatus", "17"));
    CLogCapture capture;
    EXPECT_EQ(CHelpers::ReadTarvoState(), 0u);
    CHelpers::WriteTarvoState(true, TARVO_SOURCE_THERMOVA);
    EXPECT_EQ(Stored(), 0x1000u);
    EXPECT_EQ(CLogCapture::Count("Tarvo current state registry not found"), 2u);
}

TEST_F(CurrentStatusTest, ConcurrentSourcesLoseNoUpdate) {
    // Eight writers at once: five toggle their own source 1,000 times (the
    // even ones end on, the odd ones off), three write the sources 5 to 7,
    // which read the word and write it back unchanged. A lost update shows as
    // a wrong final word.
    ASSERT_TRUE(testsupport::SetDword(kParameters, "CurrentStatus", 0));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            int writes = 1000 + (t % 2 == 0 ? 1 : 0);
            for (int i = 0; i < writes; ++i) CHelpers::WriteTarvoState(i % 2 == 0, t);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(Stored(), 0x10101u);
}

TEST(HelpersUtilities, SplitDropsTextAfterTheLastDelimiter) {
    struct Case {
        const char* text;
        std::vector<std::string> tokens;
    } cases[] = {
        {"a,b,", {"a", "b"}}, {"a,b,c", {"a", "b"}}, {"abc", {}}, {",,", {"", ""}}, {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(CHelpers::Split(c.text, ','), c.tokens) << c.text;
    EXPECT_EQ(CHelpers::SplitW(L"x;y;", L';'), (std::vector<std::wstring>{L"x", L"y"}));
}

TEST(HelpersUtilities, WideTextToUtf8) {
    struct Case {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"", ""},
        {L"C:\\ProgramData\\Log.txt", "C:\\ProgramData\\Log.txt"},
        {L"Caf\u00e9 \u20ac", "Caf\xc3\xa9 \xe2\x82\xac"},
        {L"\xd83d\xde00", "\xf0\x9f\x98\x80"},                 // a surrogate pair: one character, four bytes
        {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},  // all of the text, not up to the first NUL
        {L"x\xd800y", "x\xef\xbf\xbdy"},                      // an unpaired surrogate
    };
    for (const Case& c : cases) EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << c.utf8;
}

TEST(HelpersUtilities, NumberConversions) {
    EXPECT_EQ(CHelpers::ToString(0), "0");
    EXPECT_EQ(CHelpers::ToString(4294967295u), "4294967295");
    EXPECT_EQ(CHelpers::ToWString(42), L"42");
    EXPECT_EQ(CHelpers::ToStringInt(-7), "-7");
    EXPECT_EQ(CHelpers::StrToInt(nullptr), -1);
    EXPECT_EQ(CHelpers::StrToInt("12ab"), 12);
    EXPECT_EQ(CHelpers::StrToInt("x"), 0);
    EXPECT_EQ(CHelpers::WStrToInt(L"-3"), -3);
    EXPECT_EQ(CHelpers::AlwaysTrue(), 1);
}
