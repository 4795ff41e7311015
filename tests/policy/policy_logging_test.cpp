// What logging costs the threads of the service: a debugger output whose send
// does not return holds none of the threads that log, whatever locks they hold;
// a log folder that lets others change it holds neither the start, nor a line,
// nor the stop.
#include "CClock.h"
#include "CService.h"
#include "Handles.h"
#include "LogCapture.h"
#include "Logger.h"
#include "PolicyFakes.h"
#include "ServiceStatusCapture.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {
const char kBios[] = "HARDWARE\\DESCRIPTION\\System\\BIOS";

// The debugger output's send: from its first text it does not return until
// released (a viewer that stops taking texts); what it sent, in order.
std::mutex g_sentLock;
std::vector<std::string> g_sent;
CUniqueHandle g_sendEntered{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
CUniqueHandle g_sendRelease{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};

void HeldSend(const char* text) {
    ::SetEvent(g_sendEntered.Get());
    ::WaitForSingleObject(g_sendRelease.Get(), 30000);
    std::lock_guard<std::mutex> guard(g_sentLock);
    g_sent.emplace_back(text);
}

std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> guard(g_sentLock);
    return g_sent;
}

// Where the first sent text holds what, -1 when none does.
int Position(const std::vector<std::string>& texts, const std::string& what) {
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i].find(what) != std::string::npos) return static_cast<int>(i);
    return -1;
}

// Whether a call returns within a second.
bool ReturnsAtOnce(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
}

// A modem object that logs while it takes the decision, under the decision lock.
class CLoggingModem : public CFakeModem {
public:
    int RunTarvoHandler(uint8_t state) override {
        LogWrite("CLoggingModem::RunTarvoHandler", "state " + std::to_string(state), 1);
        return CFakeModem::RunTarvoHandler(state);
    }
};

class CDecidingApplication : public CTestApplication {
public:
    CDecidingApplication() {
        m_pDeviceFactory = new CFakeFactory();
        modem = new CLoggingModem();
        m_pWWANDeviceObj = modem;
    }
};
}  // namespace

// The send holds from the first line on. The control handler, a decision and
// the worker's start-up (on a machine the service does not support, so that it
// goes through its lines to its end) each return at once; their lines come
// out, in order, once the send returns.
TEST(DebugOutputHeld, NoThreadThatLogsWaitsForIt) {
    CClock::SetDivisor(1000);
    testsupport::SetString(kBios, "BIOSVersion", "X11AB");
    testsupport::RemoveFile(L"C:\\VAWMIR\\Tarvo.tag");
    CServiceStatusCapture status;
    LogSetDebugSend(&HeldSend);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_TRACE);
    // However the case ends, the send is let go before the logger is.
    struct CLetGo {
        ~CLetGo() {
            ::SetEvent(g_sendRelease.Get());
            LogEndDebugOutput(10000);
            LogSetFlags(0);
            CClock::SetDivisor(1);
        }
    } letGo;

    LogWrite("main", "first", 0);
    ASSERT_EQ(::WaitForSingleObject(g_sendEntered.Get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));

    auto application = std::make_unique<CDecidingApplication>();
    EXPECT_TRUE(ReturnsAtOnce([&] { CService::ServiceHandler(SERVICE_CONTROL_PAUSE, 0, nullptr, application.get()); }))
        << "the control handler";
    EXPECT_TRUE(ReturnsAtOnce([&] { application->NotifyState(1); })) << "a decision";
    EXPECT_EQ(application->modem->States(), std::vector<int>{1});

    CTarvoApplication worker;
    worker.Start();
    EXPECT_TRUE(worker.WaitForWorkerEnd(5000)) << "the worker's start-up";
    EXPECT_TRUE(Sent().empty()) << "all the while the send holds";

    ::SetEvent(g_sendRelease.Get());
    EXPECT_TRUE(testsupport::WaitUntil(
        [] { return Position(Sent(), "CTarvoApplication::Run\tERROR\tWWANDevice not found.") >= 0; },
        std::chrono::milliseconds(5000)));
    const std::vector<std::string> sent = Sent();
    const int first = Position(sent, "main\tINFO\tfirst");
    const int handler = Position(sent, "CService::ServiceHandler\tDEBUG\tSERVICE_CONTROL_PAUSE");
    const int decision = Position(sent, "CLoggingModem::RunTarvoHandler\tDEBUG\tstate 1");
    const int run = Position(sent, "CTarvoApplication::Run\tINFO\tTarvo.tag is not found, continue!");
    EXPECT_EQ(first, 0);
    EXPECT_GT(handler, first);
    EXPECT_GT(decision, handler);
    EXPECT_GT(run, decision);
    EXPECT_GT(Position(sent, "WWANDevice not found."), run);
}

namespace {
const char kDebugKey[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Debug";
const wchar_t kOrvane[] = L"C:\\ProgramData\\Orvane";
const wchar_t kTarvo[] = L"C:\\ProgramData\\Orvane\\Tarvo";
const wchar_t kDebug[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug";
const wchar_t kLogFile[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const wchar_t kPlanted[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\planted.txt";

// Every change the path setting may make holds until released: a change on
// the loose folder's way would hold whoever waits for it.
std::atomic<int> g_changes{0};
CUniqueHandle g_changeRelease{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
DWORD HeldChange(HANDLE, const wchar_t*, PSECURITY_DESCRIPTOR) {
    ++g_changes;
    ::WaitForSingleObject(g_changeRelease.Get(), 30000);
    return ERROR_ACCESS_DENIED;
}

void RemoveLogFolders() {
    ::DeleteFileW(kPlanted);
    ::DeleteFileW(kLogFile);
    for (const wchar_t* folder : {kDebug, kTarvo, kOrvane}) ::RemoveDirectoryW(folder);
}
}  // namespace

// The service's Tarvo folder lets everyone change it, as an earlier installation
// may have left it, with a file a user placed below. LogInit returns at once
// and changes nothing there, every thread's line returns at once without a
// file line, the refusal is told once, and the stop reaches SERVICE_STOPPED.
TEST(LooseLogFolder, HoldsNeitherTheStartNorALineNorTheStop) {
    RemoveLogFolders();
    for (const wchar_t* folder : {kOrvane, kTarvo, kDebug}) ASSERT_TRUE(::CreateDirectoryW(folder, nullptr));
    ASSERT_TRUE(testsupport::WriteFileBytes(kPlanted, {'p'}));
    if (!testsupport::OpenToEveryone(kTarvo)) GTEST_SKIP() << "this system keeps no such list";
    for (const char* value : {"Debug", "Log", "Trace"}) ASSERT_TRUE(testsupport::SetDword(kDebugKey, value, 0));
    static CLogFolderChain::Changes held;
    held.makeFolder = &HeldChange;
    LogSetFolderChanges(&held);
    CLogCapture capture(LOG_FLAG_TRACE);
    CServiceStatusCapture status;
    struct CCleanUp {
        ~CCleanUp() {
            ::SetEvent(g_changeRelease.Get());
            LogSetFolderChanges(nullptr);
            testsupport::DeleteTree(kDebugKey);
            RemoveLogFolders();
        }
    } cleanUp;

    EXPECT_TRUE(ReturnsAtOnce([] { LogInit(); })) << "the start's LogInit";
    ASSERT_NE(LogGetFilePath(), nullptr);
    bool returned = false;
    std::thread watcher([&] { returned = ReturnsAtOnce([] { LogWrite("CWatcherPSensor::Run", "a watcher's line", 0); }); });
    watcher.join();
    EXPECT_TRUE(returned) << "another thread's line";
    EXPECT_TRUE(ReturnsAtOnce([] { LogWrite("main", "the main thread's line", 0); }));

    auto* application = new CTestApplication();
    EXPECT_EQ(CService::ServiceHandler(SERVICE_CONTROL_STOP, 0, nullptr, application), static_cast<DWORD>(NO_ERROR));
    EXPECT_TRUE(ReturnsAtOnce([&] { CService::FinishStop(application); })) << "the stop";
    const std::vector<SERVICE_STATUS> reports = CServiceStatusCapture::Copy();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(g_changes.load(), 0) << "nothing is changed on the way";
    EXPECT_EQ(CLogCapture::Count("No log file"), 1u);
    EXPECT_EQ(CLogCapture::Count("ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo lets others change it"), 1u);
    EXPECT_TRUE(CLogCapture::Has("CWatcherPSensor::Run\tINFO\ta watcher's line")) << "the debugger output has it";
    EXPECT_EQ(::GetFileAttributesW(kLogFile), INVALID_FILE_ATTRIBUTES) << "no file line";
    EXPECT_EQ(testsupport::ReadFileText(kPlanted), "p") << "what was placed stays where it was";
}
