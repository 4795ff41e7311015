#include "PlatformFlags.h"

bool g_bLumoPlatform = false;
bool g_bDovraPlatform = false;
