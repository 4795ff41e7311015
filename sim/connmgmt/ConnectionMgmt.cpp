// Simulated "ConnectionMgmt.dll": the vendor's connection-management library as
// the service sees it, over a module that lives in this DLL's memory (and, with
// "Persist", in the registry). Requests are decoded from their bytes alone.
#include "SimConnMgmt.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- TLV elements: type u8, length u16 LE, value ----

struct Element {
    const BYTE* value;
    size_t length;
};

// All elements of a request, by type; false when an element runs past the end,
// a type repeats or a type is 0 (trailing padding is not part of a request).
bool DecodeElements(const BYTE* data, size_t length, std::map<BYTE, Element>& elements) {
    size_t at = 0;
    while (at < length) {
        if (length - at < 3) return false;
        BYTE type = data[at];
        size_t size = static_cast<size_t>(data[at + 1]) | (static_cast<size_t>(data[at + 2]) << 8);
        at += 3;
        if (type == 0 || size > length - at || elements.count(type)) return false;
        elements[type] = Element{data + at, size};
        at += size;
    }
    return true;
}

bool ByteElement(const std::map<BYTE, Element>& elements, BYTE type, ULONG& out) {
    auto it = elements.find(type);
    if (it == elements.end() || it->second.length != 1) return false;
    out = it->second.value[0];
    return true;
}

USHORT U16(const BYTE* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }
ULONG U32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<ULONG>(p[3]) << 24); }

// The row key of a Tarvo-info request: tech (1), band (2), the reserved FF FF (3)
// and, for the band combinations, band2 (4).
bool DecodeRowKey(const std::map<BYTE, Element>& elements, ULONG& tech, ULONG& band, ULONG& band2) {
    if (!ByteElement(elements, 1, tech) || !ByteElement(elements, 2, band)) return false;
    auto reserved = elements.find(3);
    if (reserved == elements.end() || reserved->second.length != 2 || reserved->second.value[0] != 0xFF ||
        reserved->second.value[1] != 0xFF)
        return false;
    band2 = 0;
    bool hasBand2 = ByteElement(elements, 4, band2);
    if ((tech == 3 || tech == 4) && !hasBand2) return false;
    return elements.count(4) == 0 || hasBand2;
}

// ---- the simulated module and library state ----

struct FaultState {
    SimCmFault fault;
    ULONG seen = 0;
    ULONG fired = 0;
};

struct State {
    std::vector<SimCmRow> table;
    ULONG controlMode = SIMCM_ABSENT;
    ULONG stateMode = 0;
    ULONG rfState = 0;
    std::vector<FaultState> faults;
    std::vector<SimCmCallRecord> calls;
    std::set<ULONGLONG> openHandles;
    ULONGLONG nextHandle = 0x5100;
    std::wstring requestLog;
    bool persist = false;
};

std::mutex g_lock;
State g_state;
bool g_loaded = false;

const wchar_t kKey[] = SIMCM_REGISTRY_KEY;

std::vector<BYTE> ReadBinary(HKEY key, const wchar_t* name) {
    DWORD size = 0;
    if (::RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS || size == 0) return {};
    std::vector<BYTE> data(size);
    DWORD type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS || type != REG_BINARY)
        return {};
    data.resize(size);
    return data;
}

void LoadStartState(State& state) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    std::vector<BYTE> table = ReadBinary(key, L"ModuleTable");
    for (size_t at = 0; at + sizeof(SimCmRow) <= table.size(); at += sizeof(SimCmRow)) {
        SimCmRow row;
        std::memcpy(&row, table.data() + at, sizeof(row));
        state.table.push_back(row);
    }
    std::vector<BYTE> faults = ReadBinary(key, L"Faults");
    for (size_t at = 0; at + sizeof(SimCmFault) <= faults.size(); at += sizeof(SimCmFault)) {
        FaultState fault;
        std::memcpy(&fault.fault, faults.data() + at, sizeof(SimCmFault));
        state.faults.push_back(fault);
    }
    DWORD value = 0, size = sizeof(value), type = 0;
    if (::RegQueryValueExW(key, L"ControlMode", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD)
        state.controlMode = value;
    size = sizeof(value);
    if (::RegQueryValueExW(key, L"Persist", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD)
        state.persist = value != 0;
    wchar_t path[MAX_PATH] = {};
    size = sizeof(path) - sizeof(wchar_t);
    if (::RegQueryValueExW(key, L"RequestLog", nullptr, &type, reinterpret_cast<BYTE*>(path), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ))
        state.requestLog = path;
    ::RegCloseKey(key);
}

// The module keeps its table across unloads of the library when asked to.
void PersistModule(const State& state) {
    if (!state.persist) return;
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    ::RegSetValueExW(key, L"ModuleTable", 0, REG_BINARY, reinterpret_cast<const BYTE*>(state.table.data()),
                     static_cast<DWORD>(state.table.size() * sizeof(SimCmRow)));
    if (state.controlMode != SIMCM_ABSENT) {
        DWORD mode = state.controlMode;
        ::RegSetValueExW(key, L"ControlMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), sizeof(mode));
    }
    ::RegCloseKey(key);
}

State& Locked() {
    if (!g_loaded) {
        LoadStartState(g_state);
        g_loaded = true;
    }
    return g_state;
}

const char* CallName(ULONG call) {
    switch (call) {
    case SIMCM_CALL_GOBI_CONNECT: return "GobiConnectW";
    case SIMCM_CALL_GOBI_DISCONNECT: return "GobiDisconnect";
    case SIMCM_CALL_SET_CTL_MODE: return "DMSSetTarvoCtlMode";
    case SIMCM_CALL_GET_CTL_MODE: return "DMSGetTarvoCtlMode";
    case SIMCM_CALL_SAR_RF_SET_STATE: return "SARRFSetState";
    case SIMCM_CALL_SAR_RF_GET_STATE: return "SARRFGetState";
    case SIMCM_CALL_SET_STATE_MODE: return "DMSSetTarvoStateMode";
    case SIMCM_CALL_GET_STATE_MODE: return "DMSGetTarvoStateMode";
    case SIMCM_CALL_GET_TARVO_INFO: return "DMSGetTarvoInfo";
    case SIMCM_CALL_SET_TARVO_INFO: return "DMSSetTarvoInfo";
    case SIMCM_CALL_WDS_SET_EVENT_REPORT: return "WDSSetEventReport";
    case SIMCM_CALL_SET_GENERIC_CALLBACK: return "SetGenericCallback";
    default: return "?";
    }
}

void AppendField(std::string& line, const char* name, ULONG value) {
    if (value == SIMCM_ABSENT) return;
    char text[48];
    std::snprintf(text, sizeof(text), " %s=%lu", name, static_cast<unsigned long>(value));
    line += text;
}

// One line per call: name, status, handle, time-out, request bytes and what they decode to.
void WriteLogLine(const State& state, const SimCmCallRecord& record, const BYTE* request) {
    if (state.requestLog.empty()) return;
    char head[160];
    std::snprintf(head, sizeof(head), "%s status=%lu handle=0x%llx timeout=%lu request=", CallName(record.call),
                  static_cast<unsigned long>(record.status), static_cast<unsigned long long>(record.handle),
                  static_cast<unsigned long>(record.timeoutMs));
    std::string line = head;
    for (ULONG i = 0; request && i < record.requestLength; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", request[i]);
        line += hex;
    }
    AppendField(line, "tech", record.tech);
    AppendField(line, "band", record.band);
    AppendField(line, "band2", record.band2);
    AppendField(line, "mode", record.mode);
    AppendField(line, "count", record.valueCount);
    AppendField(line, "value1", record.value1);
    AppendField(line, "value2", record.value2);
    if (record.call == SIMCM_CALL_GOBI_CONNECT) {
        char id[160] = {};
        ::WideCharToMultiByte(CP_UTF8, 0, record.deviceId, -1, id, sizeof(id) - 1, nullptr, nullptr);
        char text[256];
        std::snprintf(text, sizeof(text), " id=%s options=%lu,%lu,%lu,%lu", id,
                      static_cast<unsigned long>(record.options[0]), static_cast<unsigned long>(record.options[1]),
                      static_cast<unsigned long>(record.options[2]), static_cast<unsigned long>(record.options[3]));
        line += text;
    }
    line += "\r\n";
    HANDLE file = ::CreateFileW(state.requestLog.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

SimCmCallRecord NewRecord(ULONG call) {
    SimCmCallRecord record;
    std::memset(&record, 0, sizeof(record));
    record.call = call;
    record.tech = record.band = record.band2 = record.mode = SIMCM_ABSENT;
    record.valueCount = record.value1 = record.value2 = SIMCM_ABSENT;
    return record;
}

// The fault that takes this call, if any; counts the call against every fault it matches.
const SimCmFault* TakeFault(State& state, const SimCmCallRecord& record) {
    const SimCmFault* taken = nullptr;
    for (FaultState& f : state.faults) {
        if (f.fault.call != SIMCM_CALL_ANY && f.fault.call != record.call) continue;
        if (f.fault.flags & SIMCM_FAULT_MATCH_ROW) {
            if (record.tech != f.fault.tech || record.band != f.fault.band) continue;
            ULONG band2 = record.band2 == SIMCM_ABSENT ? 0 : record.band2;
            if (band2 != f.fault.band2) continue;
        }
        ++f.seen;
        if (taken || f.seen <= f.fault.skip) continue;
        if (f.fault.times != 0 && f.fired >= f.fault.times) continue;
        ++f.fired;
        taken = &f.fault;
    }
    return taken;
}

void Finish(State& state, SimCmCallRecord& record, const BYTE* request, ULONG status) {
    record.status = status;
    state.calls.push_back(record);
    WriteLogLine(state, record, request);
}

// Writes a reply: the result element (02 04 00, result u16, error u16), then
// an optional value element of type 0x10 whose value starts at byte 10.
ULONG Reply(const std::vector<BYTE>& value, ULONG* responseLength, BYTE* response, SimCmCallRecord& record) {
    std::vector<BYTE> reply = {0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
    if (!value.empty()) {
        reply.push_back(0x10);
        reply.push_back(static_cast<BYTE>(value.size() & 0xFF));
        reply.push_back(static_cast<BYTE>(value.size() >> 8));
        reply.insert(reply.end(), value.begin(), value.end());
    }
    if (!responseLength || !response) return value.empty() ? 0 : SIMCM_E_INVALID_ARGUMENT;
    if (*responseLength < reply.size()) {
        *responseLength = static_cast<ULONG>(reply.size());
        record.responseLength = *responseLength;
        return SIMCM_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(response, reply.data(), reply.size());
    *responseLength = static_cast<ULONG>(reply.size());
    record.responseLength = *responseLength;
    return 0;
}

std::vector<BYTE> LittleEndian(ULONG value, size_t bytes) {
    std::vector<BYTE> out;
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<BYTE>((value >> (8 * i)) & 0xFF));
    return out;
}

SimCmRow* FindRow(State& state, ULONG tech, ULONG band, ULONG band2) {
    for (SimCmRow& row : state.table)
        if (row.tech == tech && row.band == band && row.band2 == band2) return &row;
    return nullptr;
}

// The shared shape of every device-management call.
ULONG DeviceRequest(ULONG call, ULONGLONG handle, ULONG timeoutMs, ULONG requestLength, const BYTE* request,
                    ULONG* responseLength, BYTE* response) {
    std::lock_guard<std::mutex> guard(g_lock);
    State& state = Locked();
    SimCmCallRecord record = NewRecord(call);
    record.handle = handle;
    record.timeoutMs = timeoutMs;
    record.requestLength = requestLength;
    if (request)
        std::memcpy(record.request, request,
                    requestLength < SIMCM_RECORD_REQUEST_BYTES ? requestLength : SIMCM_RECORD_REQUEST_BYTES);
    record.hasResponseBuffer = response != nullptr;
    record.responseSize = responseLength ? *responseLength : 0;
    if (requestLength > 0 && !request) {
        Finish(state, record, nullptr, SIMCM_E_INVALID_ARGUMENT);
        return SIMCM_E_INVALID_ARGUMENT;
    }

    std::map<BYTE, Element> elements;
    bool decoded = DecodeElements(request, request ? requestLength : 0, elements);
    ULONG tech = 0, band = 0, band2 = 0;
    bool hasKey = decoded && (call == SIMCM_CALL_GET_TARVO_INFO || call == SIMCM_CALL_SET_TARVO_INFO) &&
                  DecodeRowKey(elements, tech, band, band2);
    if (hasKey) {
        record.tech = tech;
        record.band = band;
        record.band2 = elements.count(4) ? band2 : SIMCM_ABSENT;
    }
    auto values = elements.find(7);
    if (decoded && values != elements.end() && values->second.length >= 1) {
        const Element& e = values->second;
        record.valueCount = e.value[0];
        if (e.length >= 5) {
            record.value1 = U16(e.value + 1);
            record.value2 = U16(e.value + 3);
        }
    }
    ULONG mode = 0;
    if (decoded && (call == SIMCM_CALL_SET_CTL_MODE || call == SIMCM_CALL_SET_STATE_MODE) &&
        ByteElement(elements, 1, mode))
        record.mode = mode;

    if (const SimCmFault* fault = TakeFault(state, record)) {
        // A faulted call receives nothing, whatever status it reports.
        if (responseLength) *responseLength = 0;
        Finish(state, record, request, fault->status);
        return fault->status;
    }
    ULONG status = 0;
    if (!state.openHandles.count(handle)) {
        status = SIMCM_E_NOT_CONNECTED;
    } else if (!decoded) {
        status = SIMCM_E_MALFORMED;
    } else {
        switch (call) {
        case SIMCM_CALL_SET_CTL_MODE:
        case SIMCM_CALL_SET_STATE_MODE:
            if (record.mode == SIMCM_ABSENT || elements.size() != 1) {
                status = SIMCM_E_MALFORMED;
                break;
            }
            if (call == SIMCM_CALL_SET_CTL_MODE) {
                state.controlMode = record.mode;
                PersistModule(state);
            } else {
                state.stateMode = record.mode;
            }
            status = Reply({}, responseLength, response, record);
            break;
        case SIMCM_CALL_SAR_RF_SET_STATE: {
            auto e = elements.find(1);
            if (e == elements.end() || e->second.length != 4 || elements.size() != 1) {
                status = SIMCM_E_MALFORMED;
                break;
            }
            state.rfState = U32(e->second.value);
            status = Reply({}, responseLength, response, record);
            break;
        }
        case SIMCM_CALL_GET_CTL_MODE:
            status = Reply(LittleEndian(state.controlMode == SIMCM_ABSENT ? 0 : state.controlMode, 1), responseLength,
                           response, record);
            break;
        case SIMCM_CALL_GET_STATE_MODE:
            status = Reply(LittleEndian(state.stateMode, 1), responseLength, response, record);
            break;
        case SIMCM_CALL_SAR_RF_GET_STATE:
            status = Reply(LittleEndian(state.rfState, 4), responseLength, response, record);
            break;
        case SIMCM_CALL_GET_TARVO_INFO: {
            if (!hasKey || values != elements.end()) {
                status = SIMCM_E_MALFORMED;
                break;
            }
            const SimCmRow* row = FindRow(state, tech, band, band2);
            if (!row) {
                status = SIMCM_E_NOT_FOUND;
                break;
            }
            std::vector<BYTE> value = LittleEndian(row->value1, 2);
            std::vector<BYTE> second = LittleEndian(row->value2, 2);
            value.insert(value.end(), second.begin(), second.end());
            status = Reply(value, responseLength, response, record);
            break;
        }
        case SIMCM_CALL_SET_TARVO_INFO: {
            if (!hasKey || record.valueCount != 2 || values->second.length != 5) {
                status = SIMCM_E_MALFORMED;
                break;
            }
            SimCmRow* row = FindRow(state, tech, band, band2);
            if (!row) {
                SimCmRow added = {tech, static_cast<BYTE>(band), static_cast<BYTE>(band2), 0, 0};
                state.table.push_back(added);
                row = &state.table.back();
            }
            row->value1 = static_cast<USHORT>(record.value1);
            row->value2 = static_cast<USHORT>(record.value2);
            PersistModule(state);
            status = Reply({}, responseLength, response, record);
            break;
        }
        default:
            status = 0;
            break;
        }
    }
    Finish(state, record, request, status);
    return status;
}

}  // namespace

// ---- the library's entry points ----

extern "C" ULONG GobiConnectW(const wchar_t* deviceId, ULONG* count, ULONG* options, ULONGLONG* deviceHandle) {
    std::lock_guard<std::mutex> guard(g_lock);
    State& state = Locked();
    SimCmCallRecord record = NewRecord(SIMCM_CALL_GOBI_CONNECT);
    if (deviceId) wcsncpy_s(record.deviceId, deviceId, _TRUNCATE);
    if (count) record.countIn = *count;
    if (options) std::memcpy(record.options, options, sizeof(record.options));
    if (!count || !options || !deviceHandle) {
        Finish(state, record, nullptr, SIMCM_E_INVALID_ARGUMENT);
        return SIMCM_E_INVALID_ARGUMENT;
    }
    if (const SimCmFault* fault = TakeFault(state, record)) {
        if (fault->flags & SIMCM_FAULT_COUNT_ZERO) *count = 0;
        Finish(state, record, nullptr, fault->status);
        return fault->status;
    }
    if (!deviceId || deviceId[0] == L'\0') {
        Finish(state, record, nullptr, SIMCM_E_NO_DEVICE);
        return SIMCM_E_NO_DEVICE;
    }
    ULONGLONG handle = state.nextHandle++;
    state.openHandles.insert(handle);
    *deviceHandle = handle;
    *count = 1;
    record.handle = handle;
    Finish(state, record, nullptr, 0);
    return 0;
}

extern "C" ULONG GobiDisconnect(ULONGLONG deviceHandle) {
    std::lock_guard<std::mutex> guard(g_lock);
    State& state = Locked();
    SimCmCallRecord record = NewRecord(SIMCM_CALL_GOBI_DISCONNECT);
    record.handle = deviceHandle;
    if (const SimCmFault* fault = TakeFault(state, record)) {
        Finish(state, record, nullptr, fault->status);
        return fault->status;
    }
    ULONG status = state.openHandles.erase(deviceHandle) ? 0 : SIMCM_E_NOT_CONNECTED;
    Finish(state, record, nullptr, status);
    return status;
}

#define SIMCM_DEVICE_REQUEST(name, call)                                                                        \
    extern "C" ULONG name(ULONGLONG deviceHandle, ULONG timeoutMs, ULONG requestLength, const BYTE* request,   \
                          ULONG* responseLength, BYTE* response) {                                             \
        return DeviceRequest(call, deviceHandle, timeoutMs, requestLength, request, responseLength, response); \
    }

SIMCM_DEVICE_REQUEST(DMSSetTarvoCtlMode, SIMCM_CALL_SET_CTL_MODE)
SIMCM_DEVICE_REQUEST(DMSGetTarvoCtlMode, SIMCM_CALL_GET_CTL_MODE)
SIMCM_DEVICE_REQUEST(SARRFSetState, SIMCM_CALL_SAR_RF_SET_STATE)
SIMCM_DEVICE_REQUEST(SARRFGetState, SIMCM_CALL_SAR_RF_GET_STATE)
SIMCM_DEVICE_REQUEST(DMSSetTarvoStateMode, SIMCM_CALL_SET_STATE_MODE)
SIMCM_DEVICE_REQUEST(DMSGetTarvoStateMode, SIMCM_CALL_GET_STATE_MODE)
SIMCM_DEVICE_REQUEST(DMSGetTarvoInfo, SIMCM_CALL_GET_TARVO_INFO)
SIMCM_DEVICE_REQUEST(DMSSetTarvoInfo, SIMCM_CALL_SET_TARVO_INFO)
SIMCM_DEVICE_REQUEST(WDSSetEventReport, SIMCM_CALL_WDS_SET_EVENT_REPORT)

extern "C" ULONG SetGenericCallback(void* callback) {
    std::lock_guard<std::mutex> guard(g_lock);
    State& state = Locked();
    SimCmCallRecord record = NewRecord(SIMCM_CALL_SET_GENERIC_CALLBACK);
    Finish(state, record, nullptr, 0);
    return 0;
}

// ---- control ----

extern "C" void SimCm_Reset(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_state = State();
    LoadStartState(g_state);
    g_loaded = true;
}

extern "C" void SimCm_SetModuleTable(const SimCmRow* rows, ULONG count) {
    std::lock_guard<std::mutex> guard(g_lock);
    State& state = Locked();
    state.table.assign(rows, rows ? rows + count : rows);
    PersistModule(state);
}

extern "C" ULONG SimCm_GetModuleTable(SimCmRow* rows, ULONG maxRows) {
    std::lock_guard<std::mutex> guard(g_lock);
    State& state = Locked();
    for (ULONG i = 0; rows && i < maxRows && i < state.table.size(); ++i) rows[i] = state.table[i];
    return static_cast<ULONG>(state.table.size());
}

extern "C" void SimCm_SetControlMode(ULONG mode) {
    std::lock_guard<std::mutex> guard(g_lock);
    Locked().controlMode = mode;
}

extern "C" ULONG SimCm_GetControlMode(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return Locked().controlMode;
}

extern "C" void SimCm_AddFault(const SimCmFault* fault) {
    if (!fault) return;
    std::lock_guard<std::mutex> guard(g_lock);
    FaultState state;
    state.fault = *fault;
    Locked().faults.push_back(state);
}

extern "C" void SimCm_ClearFaults(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    Locked().faults.clear();
}

extern "C" ULONG SimCm_GetCallCount(ULONG call) {
    std::lock_guard<std::mutex> guard(g_lock);
    ULONG count = 0;
    for (const SimCmCallRecord& record : Locked().calls)
        if (call == SIMCM_CALL_ANY || record.call == call) ++count;
    return count;
}

extern "C" BOOL SimCm_GetCallRecord(ULONG index, SimCmCallRecord* record) {
    std::lock_guard<std::mutex> guard(g_lock);
    State& state = Locked();
    if (!record || index >= state.calls.size()) return FALSE;
    *record = state.calls[index];
    return TRUE;
}

extern "C" void SimCm_ClearCalls(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    Locked().calls.clear();
}

extern "C" ULONG SimCm_GetOpenHandleCount(void) {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<ULONG>(Locked().openHandles.size());
}
