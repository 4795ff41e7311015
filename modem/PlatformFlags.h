// Which platform the policy engine found; the modem drivers pick their SAR data by it.
#pragma once

extern bool g_bLumoPlatform;
extern bool g_bDovraPlatform;
