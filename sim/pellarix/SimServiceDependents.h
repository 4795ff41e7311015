// The active services that depend on a service, found the way Windows'
// EnumDependentServices finds them. Wine's EnumDependentServices returns no
// dependents at all, so tests and the simulated services use this instead.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace simpx {

struct Dependent {
    std::string name;
    std::string displayName;
    SERVICE_STATUS status;
};

// Direct and indirect dependents of the service, each dependent's own dependents
// before it (the order in which they can be stopped), filtered by
// SERVICE_ACTIVE, SERVICE_INACTIVE or SERVICE_STATE_ALL. False when the service
// manager cannot be read (GetLastError tells why).
bool FindDependents(const char* name, DWORD stateFilter, std::vector<Dependent>& dependents);

// EnumDependentServicesA for the handle of "Pellarix": same arguments, same buffer
// layout, same results (TRUE with none, FALSE with ERROR_MORE_DATA and the size
// needed when the buffer is too small). The handle must be valid; whatever it
// names, the dependents of "Pellarix" are returned, since a handle opened without
// SERVICE_QUERY_CONFIG does not tell its name.
BOOL WINAPI EnumPellarixDependentServicesA(SC_HANDLE service, DWORD stateFilter, LPENUM_SERVICE_STATUSA services,
                                           DWORD bufferSize, LPDWORD bytesNeeded, LPDWORD servicesReturned);

}  // namespace simpx
