#include "AdapterList.h"

#include <cstring>
#include <string>

namespace {
const char kSimAdapterKey[] = "SOFTWARE\\TarvoSim\\WwanAdapter";

bool SimulatedAdapterName(std::string& name) {
    char buffer[MAX_ADAPTER_NAME_LENGTH + 4] = {};
    DWORD size = sizeof(buffer) - 1;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, kSimAdapterKey, "AdapterName", RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return false;
    name = buffer;
    return !name.empty();
}

// The extra entry and its name, stored after the real list in the caller's buffer.
struct SimulatedEntry {
    IP_ADAPTER_ADDRESSES adapter;
    char name[MAX_ADAPTER_NAME_LENGTH + 4];
    wchar_t friendlyName[32];
};
}  // namespace

ULONG TarvoGetAdaptersAddresses(ULONG family, ULONG flags, PIP_ADAPTER_ADDRESSES addresses, PULONG size) {
    std::string name;
    if (!size || !SimulatedAdapterName(name)) return ::GetAdaptersAddresses(family, flags, nullptr, addresses, size);

    const ULONG extra = sizeof(SimulatedEntry) + alignof(SimulatedEntry);
    ULONG given = *size;
    ULONG realSize = given > extra ? given - extra : 0;
    ULONG result = ::GetAdaptersAddresses(family, flags, nullptr, realSize ? addresses : nullptr, &realSize);
    if (result == ERROR_NO_DATA) realSize = 0;
    if (result == ERROR_BUFFER_OVERFLOW || given < realSize + extra || !addresses) {
        *size = realSize + extra;
        return ERROR_BUFFER_OVERFLOW;
    }
    if (result != ERROR_SUCCESS && result != ERROR_NO_DATA) return result;

    uintptr_t place = reinterpret_cast<uintptr_t>(addresses) + realSize;
    place = (place + alignof(SimulatedEntry) - 1) & ~(uintptr_t)(alignof(SimulatedEntry) - 1);
    SimulatedEntry* entry = reinterpret_cast<SimulatedEntry*>(place);
    std::memset(entry, 0, sizeof(*entry));
    strncpy_s(entry->name, name.c_str(), _TRUNCATE);
    wcsncpy_s(entry->friendlyName, L"Cellular", _TRUNCATE);
    entry->adapter.Length = sizeof(IP_ADAPTER_ADDRESSES);
    entry->adapter.AdapterName = entry->name;
    entry->adapter.FriendlyName = entry->friendlyName;
    entry->adapter.IfType = IF_TYPE_WWANPP;
    entry->adapter.OperStatus = IfOperStatusUp;

    if (realSize == 0) {
        // No real adapter: the simulated one heads the list.
        std::memmove(addresses, entry, sizeof(*entry));
        SimulatedEntry* head = reinterpret_cast<SimulatedEntry*>(addresses);
        head->adapter.AdapterName = head->name;
        head->adapter.FriendlyName = head->friendlyName;
        return ERROR_SUCCESS;
    }
    PIP_ADAPTER_ADDRESSES last = addresses;
    while (last->Next) last = last->Next;
    last->Next = &entry->adapter;
    return ERROR_SUCCESS;
}
