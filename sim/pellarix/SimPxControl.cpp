#include "SimPxControl.h"

#include "Handles.h"

#include <functional>
#include <string>

namespace simpx {

namespace {
constexpr ULONGLONG kStateWaitMs = 10000;
// A dependency list: names each ending in a zero, the list in another.
const char kClientDependencies[] = SIMPX_PELLARIX "\0";

bool WaitFor(const std::function<bool()>& done) {
    ULONGLONG deadline = ::GetTickCount64() + kStateWaitMs;
    while (!done()) {
        if (::GetTickCount64() > deadline) return false;
        ::Sleep(5);
    }
    return true;
}

std::string ServiceKey(const char* name) { return std::string(SIMPX_SERVICES_KEY) + name; }

DWORD OpenService(const char* name, DWORD access, CUniqueScHandle& service) {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return ::GetLastError();
    service.Reset(::OpenServiceA(manager.Get(), name, access));
    return service ? ERROR_SUCCESS : ::GetLastError();
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                  &needed) != FALSE;
}

bool WriteDword(const char* name, const char* value, DWORD data) {
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKey(name).c_str(), 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS)
        return false;
    return ::RegSetValueExA(key.Get(), value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data)) ==
           ERROR_SUCCESS;
}

bool ReadDword(const char* name, const char* value, DWORD& data) {
    DWORD size = sizeof(data);
    return ::RegGetValueA(HKEY_LOCAL_MACHINE, ServiceKey(name).c_str(), value, RRF_RT_REG_DWORD, nullptr, &data,
                          &size) == ERROR_SUCCESS;
}

std::string BinaryPath(const char* name) { return std::string("\"") + SIMPX_EXE + "\" " + name; }

DWORD CreateOrReconfigure(SC_HANDLE manager, const char* name, const char* dependencies) {
    std::string path = BinaryPath(name);
    CUniqueScHandle service(::CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr,
                                             nullptr, dependencies, nullptr, nullptr));
    if (service) return ERROR_SUCCESS;
    DWORD error = ::GetLastError();
    if (error != ERROR_SERVICE_EXISTS) return error;
    service.Reset(::OpenServiceA(manager, name, SERVICE_CHANGE_CONFIG));
    if (!service) return ::GetLastError();
    // An empty list ("\0\0") clears the dependencies of a leftover.
    if (!::ChangeServiceConfigA(service.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                path.c_str(), nullptr, nullptr, dependencies ? dependencies : "\0", nullptr, nullptr,
                                name))
        return ::GetLastError();
    return ERROR_SUCCESS;
}

DWORD InstallOne(const char* name, const char* dependencies) {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return ::GetLastError();
    // A service marked for delete goes once its last handle is closed; until then
    // neither a create nor a change of its configuration is allowed.
    DWORD error = ERROR_SUCCESS;
    if (!WaitFor([&] {
            error = CreateOrReconfigure(manager.Get(), name, dependencies);
            return error != ERROR_SERVICE_MARKED_FOR_DELETE;
        }))
        return ERROR_TIMEOUT;
    if (error != ERROR_SUCCESS) return error;
    if (!Configure(name, Behaviour()) || !WriteDword(name, SIMPX_VALUE_STOP_REQUESTS, 0) ||
        !WriteDword(name, SIMPX_VALUE_ACTIVE_DEPENDENTS_AT_STOP, 0) || !WriteDword(name, SIMPX_VALUE_RELEASE, 0))
        return ERROR_CANTWRITE;
    return ERROR_SUCCESS;
}

DWORD UninstallOne(const char* name) {
    {
        CUniqueScHandle service;
        DWORD error = OpenService(name, DELETE, service);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
        if (error != ERROR_SUCCESS) return error;
        if (!::DeleteService(service.Get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            return ::GetLastError();
    }
    CUniqueScHandle service;
    return WaitFor([&] { return OpenService(name, SERVICE_QUERY_STATUS, service) == ERROR_SERVICE_DOES_NOT_EXIST; })
               ? ERROR_SUCCESS
               : ERROR_TIMEOUT;
}
}  // namespace

DWORD Install() {
    DWORD error = StopAll();
    if (error == ERROR_SUCCESS) error = InstallOne(SIMPX_PELLARIX, nullptr);
    if (error == ERROR_SUCCESS) error = InstallOne(SIMPX_CLIENT, kClientDependencies);
    return error;
}

DWORD Uninstall() {
    DWORD error = StopAll();
    if (error == ERROR_SUCCESS) error = UninstallOne(SIMPX_CLIENT);
    if (error == ERROR_SUCCESS) error = UninstallOne(SIMPX_PELLARIX);
    return error;
}

DWORD Start(const char* name) {
    CUniqueScHandle service;
    DWORD error = OpenService(name, SERVICE_START | SERVICE_QUERY_STATUS, service);
    if (error != ERROR_SUCCESS) return error;
    if (!::StartServiceA(service.Get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return ::GetLastError();
    return WaitForState(name, SERVICE_RUNNING) ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

DWORD RequestStop(const char* name) {
    CUniqueScHandle service;
    DWORD error = OpenService(name, SERVICE_STOP, service);
    if (error != ERROR_SUCCESS) return error;
    SERVICE_STATUS status = {};
    return ::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD Stop(const char* name) {
    DWORD state = QueryState(name);
    if (state == SERVICE_STOPPED) return ERROR_SUCCESS;
    if (state == 0) {
        CUniqueScHandle service;
        DWORD error = OpenService(name, SERVICE_QUERY_STATUS, service);
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : error;
    }
    if (!WriteDword(name, SIMPX_VALUE_RELEASE, 1)) return ERROR_CANTWRITE;
    bool stopped = WaitForState(name, SERVICE_STOPPED);
    WriteDword(name, SIMPX_VALUE_RELEASE, 0);
    return stopped ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

DWORD StopAll() {
    DWORD error = Stop(SIMPX_CLIENT);
    return error == ERROR_SUCCESS ? Stop(SIMPX_PELLARIX) : error;
}

DWORD QueryState(const char* name) {
    CUniqueScHandle service;
    SERVICE_STATUS_PROCESS status = {};
    if (OpenService(name, SERVICE_QUERY_STATUS, service) != ERROR_SUCCESS || !QueryStatus(service.Get(), status))
        return 0;
    return status.dwCurrentState;
}

bool WaitForState(const char* name, DWORD state) {
    return WaitFor([&] { return QueryState(name) == state; });
}

bool Configure(const char* name, const Behaviour& b) {
    return WriteDword(name, SIMPX_VALUE_START_PENDING_MS, b.startPendingMs) &&
           WriteDword(name, SIMPX_VALUE_START_WAIT_HINT, b.startWaitHint) &&
           WriteDword(name, SIMPX_VALUE_START_CHECK_POINTS, b.startCheckPointsAdvance) &&
           WriteDword(name, SIMPX_VALUE_START_FAILS, b.startFails) &&
           WriteDword(name, SIMPX_VALUE_STOP_PENDING_MS, b.stopPendingMs) &&
           WriteDword(name, SIMPX_VALUE_STOP_WAIT_HINT, b.stopWaitHint) &&
           WriteDword(name, SIMPX_VALUE_STOP_CHECK_POINTS, b.stopCheckPointsAdvance) &&
           WriteDword(name, SIMPX_VALUE_STOP_HANGS, b.stopHangs) &&
           WriteDword(name, SIMPX_VALUE_ACCEPT_STOP, b.acceptStop);
}

bool SetDisabled(const char* name, bool disabled) {
    CUniqueScHandle service;
    if (OpenService(name, SERVICE_CHANGE_CONFIG, service) != ERROR_SUCCESS) return false;
    return ::ChangeServiceConfigA(service.Get(), SERVICE_NO_CHANGE, disabled ? SERVICE_DISABLED : SERVICE_DEMAND_START,
                                  SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr) != FALSE;
}

bool GetStopRequests(const char* name, DWORD& count) { return ReadDword(name, SIMPX_VALUE_STOP_REQUESTS, count); }

bool GetActiveDependentsAtStop(const char* name, DWORD& count) {
    return ReadDword(name, SIMPX_VALUE_ACTIVE_DEPENDENTS_AT_STOP, count);
}

}  // namespace simpx
