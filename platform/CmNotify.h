// Configuration-manager notification entry point; mingw-w64's cfgmgr32.h has
// the CM_NOTIFY_* types but no prototype. Wine aborts the process when it is
// called, so nothing may reach it there.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

extern "C" CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext,
                                                     PCM_NOTIFY_CALLBACK pCallback, PHCMNOTIFICATION pNotifyContext);
