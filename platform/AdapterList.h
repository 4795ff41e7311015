// IP Helper's adapter list, as the Nuvik driver walks it for the modem's
// network adapter. Wine reports the Linux host's interfaces and never a WWAN
// one, so a simulated modem's adapter can be added from the registry: a
// REG_SZ "AdapterName" under HKLM\SOFTWARE\TarvoSim\WwanAdapter adds one
// adapter of type IF_TYPE_WWANPP with that name after the real ones. Without
// that key this is GetAdaptersAddresses itself.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#ifndef IF_TYPE_WWANPP
#define IF_TYPE_WWANPP 243  // mobile broadband for GSM-based devices
#endif

ULONG TarvoGetAdaptersAddresses(ULONG family, ULONG flags, PIP_ADAPTER_ADDRESSES addresses, PULONG size);
