#include "CDebugOutput.h"
#include "Handles.h"
#include "LogCapture.h"
#include "Logger.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

namespace {
const char kDebugKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Debug";
const wchar_t kLogFile[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const wchar_t kLogRoot[] = L"C:\\ProgramData\\Orvane";

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
    SYSTEMTIME t = {};
    t.wYear = y;
    t.wMonth = mo;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    t.wMilliseconds = ms;
    return t;
}

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

void RemoveLogFolder() {
    DeleteFileW(kLogFile);
    RemoveDirectoryW(L"C:\\ProgramData\\Orvane\\Tarvo\\Debug");
    RemoveDirectoryW(L"C:\\ProgramData\\Orvane\\Tarvo");
    RemoveDirectoryW(kLogRoot);
}

// Each case of this program runs in a process of its own, so the logger's
// once-only state (switches, path) starts fresh every time.
class LoggerSwitches : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::DeleteTree(kDebugKey);
        RemoveLogFolder();
        // Where the service runs; a case that needs another folder sets its own.
        SetCurrentDirectoryW(L"C:\\windows\\system32");
    }
    void TearDown() override {
        testsupport::DeleteTree(kDebugKey);
        LogSetFlags(0);
    }
};
}  // namespace

TEST(LoggerFormat, TimestampPadsEachFieldToTwoDigitsOnly) {
    struct Case {
        SYSTEMTIME time;
        const char* expected;
    } cases[] = {
        {Time(2026, 12, 9, 9, 5, 7, 5), "2026/12/09 09:05:07.05 - "},
        {Time(2026, 1, 2, 0, 0, 0, 0), "2026/01/02 00:00:00.00 - "},
        {Time(2026, 10, 31, 23, 59, 59, 50), "2026/10/31 23:59:59.50 - "},
        {Time(2026, 10, 31, 23, 59, 59, 500), "2026/10/31 23:59:59.500 - "},
        {Time(2026, 10, 31, 23, 59, 59, 9), "2026/10/31 23:59:59.09 - "},
        {Time(2026, 10, 31, 23, 59, 59, 99), "2026/10/31 23:59:59.99 - "},
    };
    for (const Case& c : cases) EXPECT_EQ(LogFormatTimestamp(c.time), c.expected);
    EXPECT_EQ(LogFormatTwoDigits(7u), "07");
    EXPECT_EQ(LogFormatTwoDigits(123u), "123");
}

TEST(LoggerFormat, LineTextWithAndWithoutTrace) {
    struct Case {
        uint32_t flags;
        int level;
        const char* expected;
    } cases[] = {
        {LOG_FLAG_TRACE, 0, "CSystem::GetBIOSID\tINFO\tx"},
        {0, 0, "INFO\tx"},
        {0, 1, "DEBUG\tx"},
        {0, 2, "ERROR\tx"},
        {0, 7, "\tx"},
        {0, -1, "\tx"},
        {LOG_FLAG_TRACE, 7, "CSystem::GetBIOSID\t\tx"},
        {LOG_FLAG_TRACE, -1, "CSystem::GetBIOSID\t\tx"},
    };
    for (const Case& c : cases) {
        CLogCapture capture(c.flags);
        LogWrite("CSystem::GetBIOSID", "x", c.level);
        ASSERT_EQ(CLogCapture::All().size(), 1u);
        EXPECT_EQ(CLogCapture::All()[0], c.expected) << "flags " << c.flags << " level " << c.level;
    }
}

TEST(LoggerFormat, TraceLinesIgnoreTheTraceSwitch) {
    for (uint32_t flags : {0u, static_cast<uint32_t>(LOG_FLAG_TRACE)}) {
        CLogCapture capture(flags);
        LogTraceEnter("CSystem::GetBIOSID");
        LogTraceExit("CSystem::GetBIOSID");
        EXPECT_EQ(CLogCapture::All(), (std::vector<std::string>{"DEBUG\tEntering CSystem::GetBIOSID",
                                                                "Exiting CSystem::GetBIOSID"}));
    }
}

TEST(LoggerFormat, PercentIsAnOrdinaryCharacter) {
    CLogCapture capture(0);
    LogWrite("f%s", "100% done %d %s %n", 0);
    EXPECT_EQ(CLogCapture::All()[0], "INFO\t100% done %d %s %n");
    EXPECT_EQ(LogLevelName(3), "");
    EXPECT_EQ(LogLevelNameW(2), L"ERROR");
}

TEST_F(LoggerSwitches, EachSwitchAloneAndPresenceNotValueCounts) {
    struct Case {
        const char* value;
        uint32_t bit;
    } cases[] = {{"Debug", LOG_FLAG_DEBUG}, {"Log", LOG_FLAG_FILE}, {"Trace", LOG_FLAG_TRACE}};
    for (const Case& c : cases) {
        testsupport::DeleteTree(kDebugKey);
        ASSERT_TRUE(testsupport::SetDword(kDebugKey, c.value, 0));
        EXPECT_EQ(LogReadDebugFlags(), c.bit) << c.value << " = 0 is present";
    }
    testsupport::DeleteTree(kDebugKey);
    EXPECT_EQ(LogReadDebugFlags(), 0u) << "no key";

    // Presence counts whatever the type, as long as the data fits in four bytes.
    ASSERT_TRUE(testsupport::SetString(kDebugKey, "Log", "1"));
    EXPECT_EQ(LogReadDebugFlags(), static_cast<uint32_t>(LOG_FLAG_FILE));
    ASSERT_TRUE(testsupport::SetString(kDebugKey, "Log", "long text"));
    EXPECT_EQ(LogReadDebugFlags(), 0u) << "more than four bytes";
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Log", 0xFFFFFFFF));
    EXPECT_EQ(LogReadDebugFlags(), 0u) << "0xFFFFFFFF reads as absent";
}

TEST_F(LoggerSwitches, NoDebugKeyWritesNothingAndMakesNoFolder) {
    CLogCapture capture(0);
    LogInit();
    EXPECT_EQ(g_logFlags, 0u);
    LogWrite("main", "************* ORVANE.TARVOSVC START ***********", 0);
    EXPECT_TRUE(CLogCapture::All().empty());
    EXPECT_EQ(LogGetFilePath(), nullptr);
    EXPECT_FALSE(Exists(kLogRoot));
}

TEST_F(LoggerSwitches, DebugAloneGoesToTheDebuggerOnly) {
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Debug", 1));
    CLogCapture capture(0);
    LogInit();
    EXPECT_EQ(g_logFlags, static_cast<uint32_t>(LOG_FLAG_DEBUG));
    LogWrite("main", "line", 0);
    EXPECT_EQ(CLogCapture::All(), std::vector<std::string>{"INFO\tline"});
    EXPECT_EQ(LogGetFilePath(), nullptr);
    EXPECT_FALSE(Exists(kLogRoot));
}

TEST_F(LoggerSwitches, LogValueZeroWritesTheFileWithStampsAndLineEnds) {
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Log", 0));
    LogInit();
    ASSERT_NE(LogGetFilePath(), nullptr);
    EXPECT_STREQ(LogGetFilePath(), kLogFile);
    LogWrite("main", "first 50%", 0);
    LogTraceExit("CSystem::GetBIOSID");
    std::string text = testsupport::ReadFileText(kLogFile);
    // "YYYY/MM/DD hh:mm:ss.ms - INFO\tfirst 50%\r\n" then the exit line.
    ASSERT_GE(text.size(), 30u);
    EXPECT_EQ(text.substr(4, 1), "/");
    size_t dash = text.find(" - ");
    ASSERT_NE(dash, std::string::npos);
    EXPECT_EQ(text.substr(dash + 3, text.find("\r\n") - dash - 3), "INFO\tfirst 50%");
    EXPECT_NE(text.find(" - Exiting CSystem::GetBIOSID\r\n"), std::string::npos);
}

// A console run from another drive (D:, or Z: under Wine) logs to the file on C:.
TEST_F(LoggerSwitches, TheFolderIsMadeOnTheFileDriveWhateverTheCurrentDrive) {
    std::wstring elsewhere = testsupport::BuildPathW(L"tests");
    ASSERT_NE(towupper(elsewhere[0]), L'C');
    ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.c_str()));
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Log", 0));
    LogInit();
    LogWrite("main", "from another drive", 0);
    EXPECT_TRUE(Exists(L"C:\\ProgramData\\Orvane\\Tarvo\\Debug"));
    EXPECT_NE(testsupport::ReadFileText(kLogFile).find(" - INFO\tfrom another drive\r\n"), std::string::npos);
}

TEST_F(LoggerSwitches, ALostLineDoesNotStopTheNext) {
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Log", 0));
    LogInit();
    // The file is opened per line; while it is held without sharing, lines are lost.
    HANDLE locked = CreateFileW(kLogFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    LogWrite("main", "lost", 0);
    CloseHandle(locked);
    LogWrite("main", "kept", 0);
    std::string text = testsupport::ReadFileText(kLogFile);
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_NE(text.find("INFO\tkept\r\n"), std::string::npos);
}

// The bytes on disk as the text-mode stream wrote them: each line after what the
// file holds, its stamp, its text with every line feed after a carriage return,
// and CR LF; a reader holding the file open meanwhile stops nothing.
TEST_F(LoggerSwitches, LinesAreAppendedAsTextWhileAReaderHoldsTheFile) {
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Log", 0));
    LogInit();
    LogWrite("main", "first", 0);
    HANDLE reader = CreateFileW(kLogFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    LogWrite("main", "two\nlines\r\n", 0);
    LogWriteFileW(L"caf\u00e9");
    CloseHandle(reader);
    const std::string stamp = R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{2,3} - )";
    std::regex expected(stamp + "INFO\tfirst\r\n" + stamp + "INFO\ttwo\r\nlines\r\r\n\r\n" + stamp + "caf\xc3\xa9\r\n");
    std::string text = testsupport::ReadFileText(kLogFile);
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

// A debug viewer that stops taking texts: OutputDebugStringA then waits up to
// 10 s for it with each text. Only the output's own thread waits; every line
// goes on at once, and the texts reach the viewer in the lines' order once it
// takes them again.
TEST_F(LoggerSwitches, AViewerThatStopsTakingTextsHoldsNoOtherThread) {
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Debug", 0));
    ASSERT_TRUE(testsupport::SetDword(kDebugKey, "Log", 0));
    LogInit();

    // A viewer of the test's own under the names viewers use: it takes the first text only.
    CUniqueHandle buffer(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER"));
    if (!buffer || GetLastError() == ERROR_ALREADY_EXISTS) GTEST_SKIP() << "another debug viewer runs";
    CUniqueHandle bufferReady(CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY"));
    CUniqueHandle dataReady(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
    const char* view = static_cast<const char*>(MapViewOfFile(buffer.Get(), FILE_MAP_READ, 0, 0, 4096));
    ASSERT_TRUE(bufferReady && dataReady && view);
    struct CUnmap {
        const char* view;
        ~CUnmap() { UnmapViewOfFile(view); }
    } unmap{view};
    std::vector<std::string> texts;
    // The next text of this process, once the viewer has been handed one.
    auto take = [&](DWORD timeoutMs) {
        while (WaitForSingleObject(dataReady.Get(), timeoutMs) == WAIT_OBJECT_0) {
            DWORD processId = 0;
            memcpy(&processId, view, sizeof(processId));
            bool ours = processId == GetCurrentProcessId();
            if (ours) texts.emplace_back(view + sizeof(processId), strnlen(view + sizeof(processId), 4000));
            if (ours) return true;
            SetEvent(bufferReady.Get());
        }
        return false;
    };
    LogWrite("main", "before the reader", 0);
    ASSERT_TRUE(take(10000));
    SetEvent(bufferReady.Get());
    // A reader that lets no one write: the next line is lost and tells why, two texts at once.
    CUniqueHandle reader(CreateFileW(kLogFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.IsValid());

    std::thread sender([] { LogWrite("main", "held", 0); });
    // However the case ends, the sender is let go and joined.
    struct CLetGo {
        std::thread& sender;
        HANDLE ready;
        ~CLetGo() {
            SetEvent(ready);
            if (sender.joinable()) sender.join();
        }
    } letGo{sender, bufferReady.Get()};
    ASSERT_TRUE(take(10000)) << "the line's own text";
    // The output's thread now waits for the viewer with the notice.
    const auto start = std::chrono::steady_clock::now();
    LogWrite("main", "meanwhile", 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(2));

    SetEvent(bufferReady.Get());
    ASSERT_TRUE(take(10000));
    SetEvent(bufferReady.Get());
    ASSERT_TRUE(take(10000));
    SetEvent(bufferReady.Get());
    sender.join();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "INFO\tbefore the reader");
    texts.erase(texts.begin());
    EXPECT_EQ(texts[0], "INFO\theld");
    EXPECT_NE(texts[1].find("ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt is in use"),
              std::string::npos)
        << texts[1];
    EXPECT_EQ(texts[2], "INFO\tmeanwhile");
}

namespace {
// What a debugger output of the test's own receives, and on which thread; the
// first text waits until released.
std::mutex g_sentLock;
std::vector<std::string> g_sent;
DWORD g_sendingThread = 0;
HANDLE g_sending = nullptr;
HANDLE g_release = nullptr;

void HoldTheFirstText(const char* text) {
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(g_sentLock);
        first = g_sent.empty() && g_sendingThread == 0;
        g_sendingThread = GetCurrentThreadId();
    }
    if (first) {
        SetEvent(g_sending);
        WaitForSingleObject(g_release, 10000);
    }
    std::lock_guard<std::mutex> guard(g_sentLock);
    g_sent.emplace_back(text);
}

size_t SentCount() {
    std::lock_guard<std::mutex> guard(g_sentLock);
    return g_sent.size();
}
}  // namespace

// The output's own thread sends, in order, while the threads that queue go on;
// beyond the bound texts are counted, and the count goes out before the next
// text once there is room. Its end sends what waits and drops what comes after.
TEST(DebugOutput, ItsOwnThreadSendsInOrderAndWhatTheBoundDropsIsCounted) {
    CUniqueHandle sending(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CUniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_sending = sending.Get();
    g_release = release.Get();
    CDebugOutput held(&HoldTheFirstText, 3);
    held.Queue("t1");
    ASSERT_EQ(WaitForSingleObject(sending.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    const auto start = std::chrono::steady_clock::now();
    for (const char* text : {"t2", "t3", "t4", "t5", "t6"}) held.Queue(text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "queued while the send is held";
    EXPECT_EQ(SentCount(), 0u);
    EXPECT_NE(g_sendingThread, GetCurrentThreadId());
    SetEvent(release.Get());
    ASSERT_TRUE(testsupport::WaitUntil([] { return SentCount() == 4; }, std::chrono::milliseconds(5000)));
    held.Queue("t7");
    EXPECT_TRUE(held.Finish(5000));
    held.Queue("t8");
    EXPECT_EQ(g_sent, (std::vector<std::string>{"t1", "t2", "t3", "t4",
                                                "CDebugOutput::Queue\tERROR\t2 lines were not sent to the debugger output",
                                                "t7"}));
}
