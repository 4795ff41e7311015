// The real TARVOSVC.exe as a Wine service on the Lumo platform with the Foxconn
// module, logging to its file, while a user changes the log chain under it
// after the first lines: the log folder swapped for a link to a folder of
// theirs, or the log file replaced by a second name of a file of theirs. The
// sensor still drives the back-off, nothing is appended through the change,
// the service's debugger output says why once, and the lines reach the log
// file again once the chain is restored.
#include "CSimModemRemote.h"
#include "FoxconnBandTable.h"
#include "Handles.h"
#include "ServiceHarness.h"
#include "SimulatedMachine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using machine::kBit25;
using machine::SarConfigPayload;

namespace {
const wchar_t kDebug[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug";
const wchar_t kDebugKept[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug.kept";
const wchar_t kLogFile[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const wchar_t kLogKept[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.kept";
const wchar_t kLogNext[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.next";
// A user's folder and file: where the links lead.
const wchar_t kUserFolder[] = L"C:\\TarvoUserFiles";
const wchar_t kUserFile[] = L"C:\\TarvoUserFiles\\Log.txt";
const char kUserText[] = "the user's own text\r\n";

bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

std::string Quoted(const wchar_t* path) { return "'" + testsupport::UnixPath(path) + "'"; }

// The debugger output of every process, as a debug viewer sees it: Wine's
// OutputDebugStringA hands each text to the "DBWIN_BUFFER" section once the
// two "DBWIN_*" events exist, from a service too, under these names without
// a session prefix.
class CDebugMonitor {
public:
    CDebugMonitor() {
        m_buffer.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, L"DBWIN_BUFFER"));
        // Another viewer would take texts from this one.
        m_alone = m_buffer && GetLastError() != ERROR_ALREADY_EXISTS;
        m_bufferReady.Reset(CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY"));
        m_dataReady.Reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
        m_stop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_view = m_buffer ? static_cast<const char*>(MapViewOfFile(m_buffer.Get(), FILE_MAP_READ, 0, 0, kSize)) : nullptr;
        if (IsReady()) m_thread = std::thread([this] { Run(); });
    }
    ~CDebugMonitor() {
        SetEvent(m_stop.Get());
        if (m_thread.joinable()) m_thread.join();
        if (m_view) UnmapViewOfFile(m_view);
    }
    bool IsReady() const { return m_alone && m_view && m_bufferReady && m_dataReady && m_stop; }

    // The texts of one process that contain part.
    std::vector<std::string> Texts(DWORD processId, const std::string& part) const {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<std::string> texts;
        for (const auto& text : m_texts)
            if (text.first == processId && text.second.find(part) != std::string::npos) texts.push_back(text.second);
        return texts;
    }
    size_t Count(DWORD processId, const std::string& part) const { return Texts(processId, part).size(); }

private:
    // A process id, then its text, NUL-ended, in the rest of the section.
    static const DWORD kSize = 4096;

    void Run() {
        HANDLE events[] = {m_dataReady.Get(), m_stop.Get()};
        while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
            DWORD processId = 0;
            memcpy(&processId, m_view, sizeof(processId));
            const char* text = m_view + sizeof(processId);
            std::string line(text, strnlen(text, kSize - sizeof(processId)));
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_texts.emplace_back(processId, line);
            }
            SetEvent(m_bufferReady.Get());
        }
    }

    CUniqueHandle m_buffer;
    CUniqueHandle m_bufferReady;
    CUniqueHandle m_dataReady;
    CUniqueHandle m_stop;
    bool m_alone = false;
    const char* m_view = nullptr;
    mutable std::mutex m_lock;
    std::vector<std::pair<DWORD, std::string>> m_texts;
    std::thread m_thread;
};

DWORD ServiceProcessId() {
    CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    CUniqueScHandle service(manager ? OpenServiceW(manager.Get(), L"TARVOSVC", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    if (!service || !QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof(status), &size))
        return 0;
    return status.dwProcessId;
}

// How a user changes the chain, on the Linux side (Wine makes no links), and
// how it is put back. Each step leaves no moment in which Log.txt is missing
// where a line could make it anew.
struct ChainChange {
    const char* name;
    std::function<bool()> change;
    std::function<bool()> restore;
    std::string notice;  // the start of the one notice
};

void PrintTo(const ChainChange& c, std::ostream* out) { *out << c.name; }

const ChainChange kChainChanges[] = {
    // A line between the move and the link finds the folder missing, checks the
    // chain and sees the link there: a notice about Debug either way.
    {"TheLogFolderBecomesALinkToAUsersFolder",
     [] {
         return testsupport::RunUnix("mv " + Quoted(kDebug) + " " + Quoted(kDebugKept) + " && ln -s " +
                                     Quoted(kUserFolder) + " " + Quoted(kDebug)) &&
                Exists(kDebugKept);
     },
     [] {
         return testsupport::RunUnix("rm " + Quoted(kDebug) + " && mv " + Quoted(kDebugKept) + " " + Quoted(kDebug)) &&
                !Exists(kDebugKept);
     },
     "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug"},
    // The log keeps a second name meanwhile; the user's file takes its place in one rename.
    {"TheLogFileBecomesASecondNameOfAUsersFile",
     [] {
         return testsupport::RunUnix("ln " + Quoted(kLogFile) + " " + Quoted(kLogKept) + " && ln " + Quoted(kUserFile) +
                                     " " + Quoted(kLogNext) + " && mv -f " + Quoted(kLogNext) + " " + Quoted(kLogFile)) &&
                Exists(kLogKept);
     },
     [] { return testsupport::RunUnix("mv -f " + Quoted(kLogKept) + " " + Quoted(kLogFile)) && !Exists(kLogKept); },
     "ERROR\tNo log file: C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt has a second name (hard link)"},
};

class LoggerService : public ::testing::TestWithParam<ChainChange> {
protected:
    void SetUp() override {
        modemLog = testsupport::BuildPathW(L"e2e-install\\logger-modem.log");
        libraryLog = testsupport::BuildPathW(L"e2e-install\\logger-library.log");
        harness = std::make_unique<CServiceHarness>(
            CServiceHarness::MakeInstall(L"logger", {testsupport::SimDirW() + L"\\ConnectionMgmt.dll"}));
        PutTheChainBack();
        harness->Prepare();
        ASSERT_TRUE(CreateDirectoryW(kUserFolder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        ASSERT_TRUE(testsupport::WriteFileBytes(kUserFile, std::vector<BYTE>(kUserText, kUserText + strlen(kUserText))));

        std::vector<BYTE> table(reinterpret_cast<const BYTE*>(foxconn_tbl_lumo),
                                reinterpret_cast<const BYTE*>(foxconn_tbl_lumo) + sizeof(foxconn_tbl_lumo));
        ASSERT_TRUE(machine::SetUpFoxconnLumo(modemLog, libraryLog, table));
    }
    void TearDown() override {
        harness.reset();
        PutTheChainBack();
        testsupport::RunUnix("rm -rf " + Quoted(kUserFolder));
        machine::TearDownFoxconnLumo();
    }

    // What a failed run may have left changed.
    static void PutTheChainBack() {
        if (Exists(kDebugKept))
            testsupport::RunUnix("rm -f " + Quoted(kDebug) + " && mv " + Quoted(kDebugKept) + " " + Quoted(kDebug));
        if (Exists(kLogKept)) testsupport::RunUnix("mv -f " + Quoted(kLogKept) + " " + Quoted(kLogFile));
    }

    // The sensor as a user moves it (the driver's reading, then "Type2": bit 25
    // set is away), and the modem's count-th SAR set that follows.
    bool SetSensorUntilSent(bool objectNear, size_t count) {
        machine::SetDetection(objectNear);
        testsupport::SetDword(machine::kNotificationKey, "Type2", objectNear ? 0 : kBit25);
        return machine::WaitForSarConfigSets(modemLog, count, 10000);
    }
    std::vector<simmodem::Bytes> Sets() { return machine::SarConfigSets(modemLog); }

    std::unique_ptr<CServiceHarness> harness;
    std::wstring modemLog;
    std::wstring libraryLog;
};
}  // namespace

TEST_P(LoggerService, NothingGoesThroughAChangedChainAndLinesReturnOnceItIsRestored) {
    const ChainChange& c = GetParam();
    CDebugMonitor monitor;
    ASSERT_TRUE(monitor.IsReady()) << "no debug viewer of the test's own";
    ASSERT_EQ(harness->Run(L"-install"), 0);
    ASSERT_TRUE(harness->Start());
    ASSERT_TRUE(harness->WaitForState(SERVICE_RUNNING, 10000));
    ASSERT_TRUE(CServiceHarness::WaitForLog("CWWANFoxconn::Initialize\tINFO\tSAR Table Configuration is match.", 15000));
    ASSERT_TRUE(machine::WaitForSarConfigSets(modemLog, 1, 10000));
    ASSERT_TRUE(machine::WaitForStartUp());
    DWORD service = ServiceProcessId();
    ASSERT_NE(service, 0u);

    ASSERT_TRUE(c.change()) << c.name;
    ASSERT_TRUE(SetSensorUntilSent(true, 2));  // proximity
    EXPECT_EQ(Sets()[1], SarConfigPayload(1, 65535, 2));
    ASSERT_TRUE(SetSensorUntilSent(false, 3));  // away
    EXPECT_EQ(Sets()[2], SarConfigPayload(1, 65535, 1));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return monitor.Count(service, "No log file") > 0; },
                                       std::chrono::milliseconds(5000)));
    EXPECT_EQ(testsupport::ReadFileText(kUserFile), kUserText) << "nothing appended to the user's file";

    ASSERT_TRUE(c.restore()) << c.name;
    // The next change's lines reach the log file again (the first proximity
    // line: the one while the chain was changed went nowhere).
    ASSERT_TRUE(SetSensorUntilSent(true, 4));
    ASSERT_TRUE(CServiceHarness::WaitForLog("P-Sensor detects the proximity of object.", 10000));
    // Each finding once, every one about the change.
    std::vector<std::string> notices = monitor.Texts(service, "No log file");
    EXPECT_FALSE(notices.empty());
    for (size_t i = 0; i < notices.size(); ++i) {
        EXPECT_NE(notices[i].find(c.notice), std::string::npos) << notices[i];
        for (size_t j = 0; j < i; ++j) EXPECT_NE(notices[i], notices[j]) << "told twice";
    }
    EXPECT_EQ(testsupport::ReadFileText(kUserFile), kUserText);
    EXPECT_TRUE(harness->StopAndWait());
    EXPECT_TRUE(CServiceHarness::LogHas("main\tINFO\t************* ORVANE.TARVOSVC EXIT ***********"));
}

INSTANTIATE_TEST_SUITE_P(Changes, LoggerService, ::testing::ValuesIn(kChainChanges),
                         [](const ::testing::TestParamInfo<ChainChange>& info) { return std::string(info.param.name); });
