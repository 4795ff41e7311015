#include "SimConnMgmtClient.h"

#include "TestSupport.h"

namespace {
template <typename Fn>
void Resolve(HMODULE module, Fn& fn, const char* name) {
    fn = module ? reinterpret_cast<Fn>(::GetProcAddress(module, name)) : nullptr;
}
}  // namespace

CSimConnMgmt::CSimConnMgmt(const std::wstring& folder) {
    std::wstring dir = testsupport::SimDirW();
    if (!folder.empty()) dir += L"\\" + folder;
    m_cookie = ::AddDllDirectory(dir.c_str());
    m_module = ::LoadLibraryW((dir + L"\\ConnectionMgmt.dll").c_str());
    Resolve(m_module, m_reset, "SimCm_Reset");
    Resolve(m_module, m_setTable, "SimCm_SetModuleTable");
    Resolve(m_module, m_getTable, "SimCm_GetModuleTable");
    Resolve(m_module, m_getControlMode, "SimCm_GetControlMode");
    Resolve(m_module, m_addFault, "SimCm_AddFault");
    Resolve(m_module, m_getCallCount, "SimCm_GetCallCount");
    Resolve(m_module, m_getCallRecord, "SimCm_GetCallRecord");
    Resolve(m_module, m_clearCalls, "SimCm_ClearCalls");
    Resolve(m_module, m_getOpenHandleCount, "SimCm_GetOpenHandleCount");
    if (m_reset) m_reset();
}

CSimConnMgmt::~CSimConnMgmt() {
    if (m_cookie) ::RemoveDllDirectory(m_cookie);
    if (m_module) ::FreeLibrary(m_module);
}

std::vector<SimCmRow> CSimConnMgmt::Table() const {
    std::vector<SimCmRow> rows(m_getTable(nullptr, 0));
    if (!rows.empty()) rows.resize(m_getTable(rows.data(), static_cast<ULONG>(rows.size())));
    return rows;
}

std::vector<SimCmCallRecord> CSimConnMgmt::Calls(ULONG call) const {
    std::vector<SimCmCallRecord> calls;
    SimCmCallRecord record;
    for (ULONG i = 0; m_getCallRecord(i, &record); ++i)
        if (call == SIMCM_CALL_ANY || record.call == call) calls.push_back(record);
    return calls;
}

void ClearSimConnMgmtRegistry() { testsupport::DeleteTree("Software\\TarvoSim\\ConnectionMgmt"); }

SimCmFault CallFault(ULONG call, ULONG status, ULONG skip, ULONG times) {
    SimCmFault fault = {};
    fault.call = call;
    fault.status = status;
    fault.skip = skip;
    fault.times = times;
    return fault;
}

SimCmFault RowFault(ULONG call, ULONG status, ULONG tech, ULONG band, ULONG band2) {
    SimCmFault fault = CallFault(call, status, 0, 0);
    fault.flags = SIMCM_FAULT_MATCH_ROW;
    fault.tech = tech;
    fault.band = band;
    fault.band2 = band2;
    return fault;
}
