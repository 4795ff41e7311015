// For a test's scope: what CService::SetStatus reports is captured instead of
// reaching an SCM, and the control handler has a stop event to set.
// Header-only: the including test links tarvo_service.
#pragma once

#include "CService.h"

#include <windows.h>
#include <mutex>
#include <vector>

class CServiceStatusCapture {
public:
    CServiceStatusCapture() {
        Clear();
        CService::s_pfnReportStatus = &CServiceStatusCapture::Capture;
        CService::g_hServiceStopEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        CService::g_bServiceStopRequested = false;
    }
    ~CServiceStatusCapture() {
        if (CService::g_hServiceStopEvent) ::CloseHandle(CService::g_hServiceStopEvent);
        CService::g_hServiceStopEvent = nullptr;
        CService::g_bServiceStopRequested = false;
        CService::s_pfnReportStatus = &::SetServiceStatus;
    }
    CServiceStatusCapture(const CServiceStatusCapture&) = delete;
    CServiceStatusCapture& operator=(const CServiceStatusCapture&) = delete;

    // Every report, in order; called on the reporting threads (the handler's
    // and ServiceMain's), so read it once the reporting is over, or through Copy.
    static std::vector<SERVICE_STATUS>& Reports() {
        static std::vector<SERVICE_STATUS> reports;
        return reports;
    }
    static std::vector<SERVICE_STATUS> Copy() {
        std::lock_guard<std::mutex> guard(Lock());
        return Reports();
    }
    // Forgets the reports and their times together.
    static void Clear() {
        std::lock_guard<std::mutex> guard(Lock());
        Reports().clear();
        TimeStorage().clear();
    }
    // When each report was made (GetTickCount64), in the order of Reports.
    static std::vector<ULONGLONG> Times() {
        std::lock_guard<std::mutex> guard(Lock());
        return TimeStorage();
    }
    static bool StopSet() {
        return CService::g_hServiceStopEvent && ::WaitForSingleObject(CService::g_hServiceStopEvent, 0) == WAIT_OBJECT_0;
    }

private:
    static BOOL WINAPI Capture(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status) {
        std::lock_guard<std::mutex> guard(Lock());
        Reports().push_back(*status);
        TimeStorage().push_back(::GetTickCount64());
        return TRUE;
    }
    static std::vector<ULONGLONG>& TimeStorage() {
        static std::vector<ULONGLONG> times;
        return times;
    }
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
};
