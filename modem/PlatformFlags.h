// What the policy engine learns of the machine at start-up, for the layers
// that act on it: the platform family, set once while it picks the platform
// factory (before any modem object exists) and read by the modem drivers to
// choose their SAR tables; and the modem's model name, as the factory matched
// it, read by the P-sensor watcher to choose its bit rules.
#pragma once

#include <string>

extern bool g_bLumoPlatform, g_bDovraPlatform;
extern std::wstring g_strWWANDeviceName;
