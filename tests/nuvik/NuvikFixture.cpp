#include "NuvikFixture.h"

#include "CClock.h"
#include "Logger.h"
#include "PlatformFlags.h"
#include "TestSupport.h"

#include <chrono>
#include <cstdio>
#include <mutex>

namespace nuviktest {

const char kLumoFile[] = "SAREFS_HX730R_Lumo";
const char kDovraFile[] = "SAREFS_HX730R_Dovra";
const char kFirmwareUpdateEvent[] = "Global\\{82F34418-8931-43E4-AF1D-CF59E4EFA80C}";

namespace {
const char kAdapterKey[] = "SOFTWARE\\TarvoSim\\WwanAdapter";

std::mutex g_lock;
std::vector<LogLine> g_lines;
std::vector<DWORD> g_sleeps;
std::function<void(const LogLine&)> g_logHook;
std::function<void(DWORD)> g_sleepHook;

LogLine Parse(const char* text) {
    LogLine line;
    line.text = text;
    size_t first = line.text.find('\t');
    size_t second = first == std::string::npos ? std::string::npos : line.text.find('\t', first + 1);
    if (second == std::string::npos) {
        // A trace line: "DEBUG\tEntering X" or "Exiting X".
        line.message = line.text;
        return line;
    }
    line.function = line.text.substr(0, first);
    line.level = line.text.substr(first + 1, second - first - 1);
    line.message = line.text.substr(second + 1);
    return line;
}

void Sink(const char* text) {
    LogLine line = Parse(text);
    std::function<void(const LogLine&)> hook;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_lines.push_back(line);
        hook = g_logHook;
    }
    if (hook) hook(line);
}

void Observe(DWORD ms) {
    std::function<void(DWORD)> hook;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_sleeps.push_back(ms);
        hook = g_sleepHook;
    }
    if (hook) hook(ms);
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void CreateFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    ::CreateDirectoryW(path.c_str(), nullptr);
}
}  // namespace

uint16_t FileCrc(const Bytes& data) {
    if (data.size() < 4) return 0xFFFB;
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i + 3 < data.size(); ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

Bytes MakeImage(size_t size, uint8_t seed) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 31 + seed * 7 + (i >> 8));
    return image;
}

int KessaReady() {
    HMODULE kessa = ::GetModuleHandleW(L"Kessa.dll");
    if (!kessa) return -1;
    using GetIsMbimReady = int(__cdecl*)(void*, uint8_t*);
    auto get = reinterpret_cast<GetIsMbimReady>(
        reinterpret_cast<void*>(::GetProcAddress(kessa, "Kessa_GetIsMbimReady")));
    uint8_t ready = 0xAA;
    return get && get(nullptr, &ready) == 0 ? ready : -1;
}

bool WaitForKessaReady(int ready) {
    return testsupport::WaitUntil([ready] { return KessaReady() == ready; }, std::chrono::milliseconds(5000));
}

void NuvikFixture::SetUp() {
    ASSERT_TRUE(CSimModemControl::Register());
    ASSERT_TRUE(sim.Load());
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_lines.clear();
        g_sleeps.clear();
        g_logHook = nullptr;
        g_sleepHook = nullptr;
    }
    LogSetDebugSink(&Sink);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_TRACE);
    CClock::SetDivisor(1000);
    CClock::SetObserver(&Observe);
    g_bLumoPlatform = false;
    g_bDovraPlatform = false;

    // A folder per test, empty of SAR files, as the process's current directory.
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name)
        if (c == '/' || c == '\\') c = '_';
    m_workDir = testsupport::BuildPathW(L"tests\\nuvik_work\\" + Widen(name));
    CreateFolders(m_workDir);
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    m_previousDir = previous;
    ASSERT_TRUE(::SetCurrentDirectoryW(m_workDir.c_str()));
    RemoveWorkFile(kLumoFile);
    RemoveWorkFile(kDovraFile);
    testsupport::DeleteTree(kAdapterKey);
}

void NuvikFixture::TearDown() {
    CClock::SetObserver(nullptr);
    CClock::SetDivisor(1);
    LogSetFlags(0);
    LogSetDebugSink(nullptr);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_logHook = nullptr;
        g_sleepHook = nullptr;
    }
    testsupport::DeleteTree(kAdapterKey);
    if (!m_previousDir.empty()) ::SetCurrentDirectoryW(m_previousDir.c_str());
}

void NuvikFixture::UseLibrary(Library library) {
    switch (library) {
        case Library::Absent: break;
        case Library::Product: ::AddDllDirectory(testsupport::ProductDirW().c_str()); break;
        case Library::NoIsWrite:
            ::AddDllDirectory(testsupport::BuildPathW(L"tests\\kessa_noiswrite").c_str());
            break;
    }
}

void NuvikFixture::StartModem(const simmodem::InterfaceSpec& modem, const simmodem::Settings& settings,
                              const std::vector<simmodem::FaultSpec>& faults) {
    simmodem::StartState state;
    state.settings = settings;
    state.interfaces = {modem};
    state.faults = faults;
    ASSERT_TRUE(sim.Reset(state));
    ASSERT_TRUE(testsupport::SetString(kAdapterKey, "AdapterName", InterfaceIdA()));
}

std::string NuvikFixture::InterfaceIdA() {
    std::wstring id = sim.InterfaceId(0);
    return std::string(id.begin(), id.end());
}

void NuvikFixture::WriteWorkFile(const char* name, const Bytes& bytes) {
    ASSERT_TRUE(testsupport::WriteFileBytes(m_workDir + L"\\" + Widen(name), bytes));
}

void NuvikFixture::RemoveWorkFile(const char* name) { testsupport::RemoveFile(m_workDir + L"\\" + Widen(name)); }

std::vector<LogLine> NuvikFixture::Lines() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_lines;
}

std::vector<std::string> NuvikFixture::Messages(const std::string& function) {
    std::vector<std::string> messages;
    for (const LogLine& line : Lines())
        if (line.function == function) messages.push_back(line.level + "\t" + line.message);
    return messages;
}

size_t NuvikFixture::CountText(const std::string& text) {
    size_t count = 0;
    for (const LogLine& line : Lines())
        if (line.text.find(text) != std::string::npos) ++count;
    return count;
}

void NuvikFixture::ClearLines() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_lines.clear();
}

void NuvikFixture::SetLogHook(std::function<void(const LogLine&)> hook) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_logHook = std::move(hook);
}

std::vector<DWORD> NuvikFixture::Sleeps() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_sleeps;
}

size_t NuvikFixture::CountSleeps(DWORD ms) {
    size_t count = 0;
    for (DWORD sleep : Sleeps())
        if (sleep == ms) ++count;
    return count;
}

void NuvikFixture::SetSleepHook(std::function<void(DWORD ms)> hook) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_sleepHook = std::move(hook);
}

SimModemDiagState NuvikFixture::Diag() {
    SimModemDiagState state = {};
    EXPECT_TRUE(sim.GetDiagState(0, state));
    return state;
}

std::vector<simmodem::LogEntry> NuvikFixture::DiagCommands(uint32_t cid, uint32_t op) {
    std::vector<simmodem::LogEntry> entries;
    for (const simmodem::LogEntry& entry : sim.Log())
        if (entry.op == op && entry.cid == cid && _wcsicmp(entry.service.c_str(), SIMMODEM_SERVICE_DIAG) == 0)
            entries.push_back(entry);
    return entries;
}

}  // namespace nuviktest
