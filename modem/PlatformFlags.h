// Which platform family the machine belongs to; set once by the policy engine
// while it picks the platform factory, before any modem object exists, and read
// by the modem drivers to choose their SAR tables.
#pragma once

extern bool g_bLumoPlatform, g_bDovraPlatform;
