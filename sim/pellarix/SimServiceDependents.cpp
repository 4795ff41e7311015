#include "SimServiceDependents.h"

#include "Handles.h"
#include "SimPxNames.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace simpx {

namespace {
struct Entry {
    std::string name;
    std::string displayName;
    SERVICE_STATUS status;
    std::vector<std::string> dependsOn;
};

// From the service's key, where Windows keeps them too: Wine's QueryServiceConfig
// reports no dependencies. A list of names, each ending in a zero; "+name" is a group.
void ReadDependencies(const std::string& name, std::vector<std::string>& dependsOn) {
    std::string key = std::string(SIMPX_SERVICES_KEY) + name;
    char data[4096];
    DWORD size = sizeof(data);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, data,
                       &size) != ERROR_SUCCESS)
        return;
    const char* end = data + std::min<DWORD>(size, sizeof(data));
    for (const char* p = data; p < end && *p;) {
        std::string entry(p, strnlen(p, static_cast<size_t>(end - p)));
        if (entry[0] != SC_GROUP_IDENTIFIERA) dependsOn.push_back(entry);
        p += entry.size() + 1;
    }
}

bool ReadServices(std::vector<Entry>& entries) {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return false;
    std::vector<BYTE> buffer;
    DWORD needed = 0, count = 0, resume = 0;
    while (!::EnumServicesStatusExA(manager.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                    buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count, &resume,
                                    nullptr)) {
        if (::GetLastError() != ERROR_MORE_DATA) return false;
        buffer.resize(buffer.size() + needed);
        resume = 0;
    }
    auto* records = reinterpret_cast<ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        Entry entry;
        entry.name = records[i].lpServiceName;
        entry.displayName = records[i].lpDisplayName ? records[i].lpDisplayName : "";
        std::memcpy(&entry.status, &records[i].ServiceStatusProcess, sizeof(entry.status));
        ReadDependencies(entry.name, entry.dependsOn);
        entries.push_back(std::move(entry));
    }
    return true;
}

bool DependsOn(const Entry& entry, const std::string& name) {
    for (const std::string& dependency : entry.dependsOn)
        if (::lstrcmpiA(dependency.c_str(), name.c_str()) == 0) return true;
    return false;
}

void Collect(const std::vector<Entry>& entries, const std::string& name, std::set<std::string>& seen,
             std::vector<const Entry*>& ordered) {
    for (const Entry& entry : entries) {
        if (!DependsOn(entry, name) || !seen.insert(entry.name).second) continue;
        Collect(entries, entry.name, seen, ordered);
        ordered.push_back(&entry);
    }
}

bool Matches(DWORD stateFilter, const SERVICE_STATUS& status) {
    bool stopped = status.dwCurrentState == SERVICE_STOPPED;
    return stopped ? (stateFilter & SERVICE_INACTIVE) != 0 : (stateFilter & SERVICE_ACTIVE) != 0;
}
}  // namespace

bool FindDependents(const char* name, DWORD stateFilter, std::vector<Dependent>& dependents) {
    dependents.clear();
    std::vector<Entry> entries;
    if (!ReadServices(entries)) return false;
    std::set<std::string> seen{name};
    std::vector<const Entry*> ordered;
    Collect(entries, name, seen, ordered);
    for (const Entry* entry : ordered)
        if (Matches(stateFilter, entry->status)) dependents.push_back({entry->name, entry->displayName, entry->status});
    return true;
}

BOOL WINAPI EnumPellarixDependentServicesA(SC_HANDLE service, DWORD stateFilter, LPENUM_SERVICE_STATUSA services,
                                           DWORD bufferSize, LPDWORD bytesNeeded, LPDWORD servicesReturned) {
    SERVICE_STATUS probe = {};
    if (!::QueryServiceStatus(service, &probe)) return FALSE;
    *bytesNeeded = 0;
    *servicesReturned = 0;
    std::vector<Dependent> dependents;
    if (!FindDependents(SIMPX_PELLARIX, stateFilter, dependents)) return FALSE;

    // The records first, then the strings they point to.
    size_t size = dependents.size() * sizeof(ENUM_SERVICE_STATUSA);
    for (const Dependent& d : dependents) size += d.name.size() + 1 + d.displayName.size() + 1;
    if (size > bufferSize) {
        *bytesNeeded = static_cast<DWORD>(size);
        ::SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    char* text = reinterpret_cast<char*>(services + dependents.size());
    for (size_t i = 0; i < dependents.size(); ++i) {
        services[i].lpServiceName = std::strcpy(text, dependents[i].name.c_str());
        text += dependents[i].name.size() + 1;
        services[i].lpDisplayName = std::strcpy(text, dependents[i].displayName.c_str());
        text += dependents[i].displayName.size() + 1;
        services[i].ServiceStatus = dependents[i].status;
    }
    *servicesReturned = static_cast<DWORD>(dependents.size());
    return TRUE;
}

}  // namespace simpx
