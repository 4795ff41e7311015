// Candidate device ids for the connection-management library: Qualcomm network
// adapters found through SetupAPI, then Mobile Broadband interfaces that expose
// the Qualcomm EXT_QMUX device service. Failures only make the list shorter.
#pragma once

#include <string>
#include <vector>

// Every adapter id, in enumeration order, then every EXT_QMUX id; empty when
// there is no candidate.
std::vector<std::wstring> EnumerateGobiDeviceIds();
// "<adapter part of the interface path>_1" for each Qualcomm network adapter.
std::vector<std::wstring> GetLanAdapterDeviceIds();
// "EXT_QMUX:<interface id>" for each Mobile Broadband interface with EXT_QMUX.
std::vector<std::wstring> GetQmuxServiceDeviceIds();

// The id of one network-adapter interface, or "" when it yields none: the
// manufacturer must contain "qualcomm" (any case); the id is the second
// '\'-separated part of the fourth '#'-separated part of the lower-cased path
// (runs of separators count as one, as a tokenizer splits), followed by "_1".
std::wstring LanAdapterDeviceId(const std::wstring& devicePath, const std::wstring& manufacturer);
