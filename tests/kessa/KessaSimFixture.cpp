#include "KessaSimFixture.h"

#include "TestSupport.h"

#include <mutex>
#include <thread>

namespace kessasim {

namespace {
// OutputDebugStringA raises this before it looks for a debugger; a vectored
// handler sees it first and lets it go on.
const DWORD kDebugPrintException = 0x40010006;

std::mutex& DebugLock() {
    static std::mutex lock;
    return lock;
}

std::vector<std::string>& DebugTexts() {
    static std::vector<std::string> texts;
    return texts;
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == kDebugPrintException && record->NumberParameters >= 2 &&
        record->ExceptionInformation[1] != 0) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        const size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
        std::lock_guard<std::mutex> guard(DebugLock());
        DebugTexts().emplace_back(text, length > 0 ? length - 1 : 0);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

template <typename T>
bool Bind(HMODULE module, const char* name, T& entry) {
    entry = reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return entry != nullptr;
}
}  // namespace

bool KessaExports::Load() {
    // As the service does it: the product folder joins the default search directories.
    ::AddDllDirectory(testsupport::ProductDirW().c_str());
    module = ::LoadLibraryExA("Kessa.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module == nullptr) return false;
    bool all = true;
    all &= Bind(module, "Kessa_CloseDeviceServices", CloseDeviceServices);
    all &= Bind(module, "Kessa_GetFileCrc", GetFileCrc);
    all &= Bind(module, "Kessa_GetIsMbimReady", GetIsMbimReady);
    all &= Bind(module, "Kessa_GetSarEnable", GetSarEnable);
    all &= Bind(module, "Kessa_GetSarIndex", GetSarIndex);
    all &= Bind(module, "Kessa_GetSarValue", GetSarValue);
    all &= Bind(module, "Kessa_GetSarVersion", GetSarVersion);
    all &= Bind(module, "Kessa_Init", Init);
    all &= Bind(module, "Kessa_IsWrite", IsWrite);
    all &= Bind(module, "Kessa_OpenDeviceServices", OpenDeviceServices);
    all &= Bind(module, "Kessa_SetDeviceRoot", SetDeviceRoot);
    all &= Bind(module, "Kessa_SetSarCallBack", SetSarCallBack);
    all &= Bind(module, "Kessa_SetSarEnable", SetSarEnable);
    all &= Bind(module, "Kessa_SetSarIndex", SetSarIndex);
    all &= Bind(module, "Kessa_SetSarValue", SetSarValue);
    all &= Bind(module, "Kessa_SetSarVersion", SetSarVersion);
    all &= Bind(module, "Kessa_UnInit", UnInit);
    return all;
}

CDebugOutput::CDebugOutput() {
    Clear();
    m_handler = ::AddVectoredExceptionHandler(1, &OnException);
}

CDebugOutput::~CDebugOutput() {
    if (m_handler) ::RemoveVectoredExceptionHandler(m_handler);
}

size_t CDebugOutput::Count(const std::string& text) const {
    std::lock_guard<std::mutex> guard(DebugLock());
    size_t n = 0;
    for (const std::string& t : DebugTexts())
        if (t == text) ++n;
    return n;
}

bool CDebugOutput::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (Count(text) == 0) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void CDebugOutput::Clear() {
    std::lock_guard<std::mutex> guard(DebugLock());
    DebugTexts().clear();
}

void KessaSim::SetUp() {
    ASSERT_TRUE(CSimModemControl::Register());
    ASSERT_TRUE(m_sim.Load());
    Start(simmodem::StartState());
    ASSERT_TRUE(m_kessa.Load()) << "Kessa.dll did not load or lacks an export: " << ::GetLastError();
}

void KessaSim::TearDown() {
    if (!m_kessa.module) return;
    for (SarDeviceContext* context : m_contexts) m_kessa.CloseDeviceServices(context);
    m_kessa.UnInit();
    m_sim.WaitIdle(2000);
}

std::string KessaSim::InterfaceId(uint32_t index) {
    const std::wstring wide = m_sim.InterfaceId(index);
    return std::string(wide.begin(), wide.end());  // a braced GUID: ASCII only
}

SarDeviceContext* KessaSim::Open() {
    SarDeviceContext* context = m_kessa.OpenDeviceServices();
    EXPECT_NE(context, nullptr);
    if (context) m_contexts.push_back(context);
    return context;
}

SarDeviceContext* KessaSim::InitAndOpen() {
    EXPECT_EQ(Init(), KESSA_OK);
    return Open();
}

uint8_t KessaSim::Ready() {
    uint8_t ready = 0xAA;
    EXPECT_EQ(m_kessa.GetIsMbimReady(nullptr, &ready), KESSA_OK);
    return ready;
}

bool KessaSim::WaitReady(uint8_t value, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        uint8_t ready = 0xAA;
        m_kessa.GetIsMbimReady(nullptr, &ready);
        if (ready == value) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<simmodem::LogEntry> KessaSim::Commands(const wchar_t* service, uint32_t cid, uint32_t op) {
    std::vector<simmodem::LogEntry> found;
    for (const simmodem::LogEntry& e : m_sim.Log()) {
        if (e.op != SIMMODEM_OP_SET && e.op != SIMMODEM_OP_QUERY) continue;
        if (op != SIMMODEM_OP_ANY && e.op != op) continue;
        if (SameService(e.service, service) && e.cid == cid) found.push_back(e);
    }
    return found;
}

std::vector<simmodem::LogEntry> KessaSim::Sessions(uint32_t op) {
    std::vector<simmodem::LogEntry> found;
    for (const simmodem::LogEntry& e : m_sim.Log())
        if (e.op == op) found.push_back(e);
    return found;
}

INSTANTIATE_TEST_SUITE_P(Delivery, KessaSimModes,
                         ::testing::Values(SIMMODEM_DELIVERY_SAME, SIMMODEM_DELIVERY_TEAROFF, SIMMODEM_DELIVERY_OTHER),
                         [](const ::testing::TestParamInfo<uint32_t>& info) -> std::string {
                             return simmodem::DeliveryName(info.param);
                         });

}  // namespace kessasim
