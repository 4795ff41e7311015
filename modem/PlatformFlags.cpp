#include "PlatformFlags.h"

bool g_bLumoPlatform = false;
bool g_bDovraPlatform = false;
std::wstring g_strWWANDeviceName;
