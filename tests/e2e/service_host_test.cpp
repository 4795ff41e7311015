// The real TARVOSVC.exe under the prefix's Service Control Manager.
#include "ServiceHarness.h"
#include "Handles.h"
#include "SimPmControl.h"
#include "SimPxNames.h"
#include "SimulatedMachine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
class ServiceHost : public ::testing::Test {
protected:
    // A machine the service does not support: its worker goes idle after the
    // radio step instead of bringing a modem up (and maybe stopping itself).
    void SetUp() override {
        harness.Prepare();
        machine::SetPlatform("X11AB", "0000");
    }
    CServiceHarness harness;
};

std::wstring QueryImagePath(DWORD& type, DWORD& start, std::wstring& displayName) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"TARVOSVC", SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    std::wstring path;
    if (service && QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                       static_cast<DWORD>(buffer.size()), &needed)) {
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        type = config->dwServiceType;
        start = config->dwStartType;
        path = config->lpBinaryPathName;
        displayName = config->lpDisplayName;
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return path;
}

// A service the test creates itself; deleted when the test ends, also on failure.
class CTestService {
public:
    CTestService(const wchar_t* name, const wchar_t* displayName, const std::wstring& commandLine) {
        CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        m_service.Reset(CreateServiceW(manager.Get(), name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr,
                                       nullptr, nullptr, nullptr, nullptr));
    }
    ~CTestService() {
        if (m_service) DeleteService(m_service.Get());
    }
    explicit operator bool() const { return static_cast<bool>(m_service); }

private:
    CUniqueScHandle m_service;
};

// Holds a handle on TARVOSVC after deleting it: the service manager keeps it
// "marked for delete" until the handle is closed, here when the test ends.
class CMarkedForDelete {
public:
    CMarkedForDelete() {
        CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        m_service.Reset(OpenServiceW(manager.Get(), L"TARVOSVC", SERVICE_ALL_ACCESS));
        m_marked = m_service && DeleteService(m_service.Get());
    }
    bool Marked() const { return m_marked; }

private:
    CUniqueScHandle m_service;
    bool m_marked = false;
};

// The simulated service installed under the name TARVOSVC (the harness removes it).
bool InstallStandIn() {
    std::wstring commandLine = L"\"" + testsupport::SimDirW() + L"\\PellarixSim.exe\" TARVOSVC";
    CUniqueScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CUniqueScHandle service(CreateServiceW(manager.Get(), L"TARVOSVC", L"Tarvo Utility", SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return static_cast<bool>(service);
}
}  // namespace

TEST_F(ServiceHost, CommandLineLifecycle) {
    // With the debugger output on: every run below ends with its own exit code
    // (not the harness's -1 of a process that does not end), its last lines sent.
    ASSERT_TRUE(testsupport::SetDword(std::string(CServiceHarness::ServiceKey()) + "\\Debug", "Debug", 0));
    // -install creates the service; its banners frame the run.
    EXPECT_EQ(harness.Run(L"-install"), 0);
    DWORD type = 0;
    DWORD start = 0;
    std::wstring displayName;
    EXPECT_EQ(QueryImagePath(type, start, displayName), L"\"" + harness.ExePath() + L"\"");
    EXPECT_EQ(type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(displayName, L"Tarvo Utility");
    std::string log = CServiceHarness::ReadLog();
    EXPECT_NE(log.find("main\tINFO\t************* ORVANE.TARVOSVC START ***********"), std::string::npos);
    EXPECT_NE(log.find("CService::Execute\tDEBUG\tinstall"), std::string::npos);
    EXPECT_NE(log.find("DEBUG\tEntering CService::CmdInstall"), std::string::npos);
    EXPECT_NE(log.find("CService::CmdInstall\tINFO\tOpenSCManager SUCCESS."), std::string::npos);
    EXPECT_NE(log.find("CService::CmdInstall\tINFO\tCreateService SUCCESS"), std::string::npos);
    EXPECT_NE(log.find("CService::Execute\tDEBUG\tStartServiceCtrlDispatcher fail error: 1063"), std::string::npos);
    EXPECT_NE(log.find("main\tINFO\t************* ORVANE.TARVOSVC EXIT ***********"), std::string::npos);

    // Installing again fails to create and still exits 0.
    CServiceHarness::ClearLog();
    EXPECT_EQ(harness.Run(L"-install"), 0);
    EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdInstall\tINFO\tCreateService FAILED"));
    EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdInstall\tINFO\tCreateService error: 1073"));

    // No switch, or a word without its dash: no command, the dispatcher's 1063, exit 0.
    for (const wchar_t* argument : {L"", L"install"}) {
        CServiceHarness::ClearLog();
        EXPECT_EQ(harness.Run(argument), 0);
        EXPECT_TRUE(CServiceHarness::LogHas("StartServiceCtrlDispatcher fail error: 1063"));
        EXPECT_FALSE(CServiceHarness::LogHas("CService::Execute\tDEBUG\tinstall"));
    }

    // Any letter case; the service runs when the command returns.
    EXPECT_EQ(harness.Run(L"-StArT"), 0);
    EXPECT_EQ(harness.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdStart\tINFO\tQueryServiceStatus SERVICE_RUNNING"));
    EXPECT_TRUE(CServiceHarness::WaitForLog("CService::ServiceMain\tINFO\tregister TCU service handler", 5000));

    EXPECT_EQ(harness.Run(L"-stop"), 0);
    EXPECT_TRUE(harness.WaitForState(SERVICE_STOPPED, 20000));
    EXPECT_EQ(harness.Run(L"-stop"), 1) << "not running: ControlService fails";

    EXPECT_EQ(harness.Run(L"-remove"), 0);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !harness.Installed(); }, std::chrono::milliseconds(10000)));
    EXPECT_EQ(harness.Run(L"-remove"), 1) << "nothing to remove";
}

// A plain tag file stops the back-off start-up and leaves the service running;
// one that is a second name of another file does not count, says why, and
// the start-up goes on.
TEST_F(ServiceHost, TagFileLeavesTheServiceRunningWithoutBackOff) {
    const wchar_t tag[] = L"C:\\VAWMIR\\Tarvo.tag";
    const wchar_t other[] = L"C:\\VAWMIR\\other";
    CreateDirectoryW(L"C:\\VAWMIR", nullptr);
    struct CRemove {
        const wchar_t* paths[2];
        ~CRemove() {
            for (const wchar_t* path : paths) testsupport::RemoveFile(path);
        }
    } remove{{tag, other}};

    ASSERT_TRUE(testsupport::WriteFileBytes(tag, {}));
    ASSERT_EQ(harness.Run(L"-install"), 0);
    ASSERT_TRUE(harness.Start());
    ASSERT_TRUE(harness.WaitForState(SERVICE_RUNNING, 5000));
    EXPECT_TRUE(CServiceHarness::WaitForLog("CTarvoApplication::Run\tINFO\tTarvo.tag is found, do not proceed Tarvo init!",
                                            5000));
    Sleep(300);
    EXPECT_EQ(harness.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(CServiceHarness::LogHas("Inside Run()"));
    EXPECT_TRUE(harness.StopAndWait());

    testsupport::RemoveFile(tag);
    ASSERT_TRUE(testsupport::WriteFileBytes(other, {}));
    if (!CreateHardLinkW(tag, other, nullptr)) GTEST_SKIP() << "no second name can be made here";
    CServiceHarness::ClearLog();
    ASSERT_TRUE(harness.Start());
    EXPECT_TRUE(CServiceHarness::WaitForLog("CTarvoApplication::Run\tDEBUG\tInside Run()", 5000));
    EXPECT_TRUE(CServiceHarness::LogHas("CTarvoApplication::Run\tERROR\tTarvo.tag does not count: "
                                        "c:\\VAWMIR\\Tarvo.tag has a second name (hard link)"));
    EXPECT_TRUE(CServiceHarness::LogHas("CTarvoApplication::Run\tINFO\tTarvo.tag is not found, continue!"));
    EXPECT_FALSE(CServiceHarness::LogHas("Tarvo.tag is found"));
    EXPECT_TRUE(harness.StopAndWait());
}

TEST_F(ServiceHost, WorkerSwitchesTheRadioOnBeforeStartUp) {
    ASSERT_EQ(simpm::Install(), 0u);
    struct Case {
        const char* name;
        bool driverRunning;
        bool radioOn;
        const char* line;
    } cases[] = {
        {"radio off", true, false, "CTarvoApplication::Run\tINFO\t=====================>>>>> Tarvo set W_Disable to high OK!!!"},
        {"radio on", true, true,
         "CTarvoApplication::Run\tINFO\t=====================>>>>> W_Disable is high before Tarvo started!!! <Warning!!!>"},
        {"no driver", false, false,
         "CTarvoApplication::Run\tERROR\t=====================>>>>> Tarvo set W_Disable to high failed!!! <ERROR>"},
    };
    for (const Case& c : cases) {
        harness.Prepare();
        if (c.driverRunning) {
            ASSERT_EQ(simpm::Start(), 0u);
            ASSERT_TRUE(simpm::Reset());
            ASSERT_TRUE(simpm::SetRadio(c.radioOn));
        } else {
            ASSERT_EQ(simpm::Stop(), 0u);
        }
        ASSERT_EQ(harness.Run(L"-install"), 0);
        ASSERT_TRUE(harness.Start());
        EXPECT_TRUE(CServiceHarness::WaitForLog(c.line, 10000)) << c.name;
        EXPECT_TRUE(CServiceHarness::LogHas("CTarvoApplication::Run\tDEBUG\tInside Run()")) << c.name;
        if (c.driverRunning) {
            bool on = false;
            ASSERT_TRUE(simpm::GetRadio(on));
            EXPECT_TRUE(on) << c.name;
        }
        EXPECT_TRUE(harness.StopAndWait()) << c.name;
    }
    simpm::Stop();
}

// A service that could not be created is a failed install: only an existing
// TARVOSVC counts as installed.
TEST_F(ServiceHost, InstallFailsWhenTheServiceCannotBeCreated) {
    {
        SCOPED_TRACE("display name taken by another service");
        CTestService twin(L"TarvoUtilityTwin", L"Tarvo Utility", L"C:\\windows\\system32\\cmd.exe");
        ASSERT_TRUE(twin);
        CServiceHarness::ClearLog();
        EXPECT_EQ(harness.Run(L"-install"), 1);
        EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdInstall\tINFO\tCreateService FAILED"));
        EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdInstall\tERROR\tCreateService error: 1078"));
        EXPECT_FALSE(harness.Installed());
    }
    {
        SCOPED_TRACE("an earlier TARVOSVC still marked for delete");
        ASSERT_EQ(harness.Run(L"-install"), 0);
        CMarkedForDelete earlier;
        ASSERT_TRUE(earlier.Marked());
        CServiceHarness::ClearLog();
        EXPECT_EQ(harness.Run(L"-install"), 1);
        EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdInstall\tINFO\tCreateService FAILED"));
        EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdInstall\tERROR\tCreateService error: 1072"));
    }
}

TEST_F(ServiceHost, RemoveFailsWhenTheServiceCannotBeDeleted) {
    ASSERT_EQ(harness.Run(L"-install"), 0);
    CMarkedForDelete other;
    ASSERT_TRUE(other.Marked());
    CServiceHarness::ClearLog();
    EXPECT_EQ(harness.Run(L"-remove"), 1);
    EXPECT_TRUE(CServiceHarness::LogHas("CService::CmdRemove\tERROR\tDeleteService failed error: 1072"));
}

// -remove waits for the service to stop, 1 s at a time, for 30 s at most. The
// simulated service stands in for TARVOSVC: it can take its time or hang in
// stop pending. Clock divisor 10: 30 s pass in 3 s, one poll every 100 ms.
TEST_F(ServiceHost, RemoveWaitsForTheStopWithinABound) {
    struct Case {
        const char* name;
        DWORD stopPendingMs;  // real time the service spends stop pending
        DWORD hangs;
        int exitCode;
        bool removed;
    } cases[] = {
        {"stops within the bound", 500, 0, 0, true},
        {"stays stop pending", 0, 1, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        harness.Prepare(10);
        ASSERT_TRUE(InstallStandIn());
        testsupport::SetDword(CServiceHarness::ServiceKey(), SIMPX_VALUE_STOP_PENDING_MS, c.stopPendingMs);
        testsupport::SetDword(CServiceHarness::ServiceKey(), SIMPX_VALUE_STOP_HANGS, c.hangs);
        ASSERT_TRUE(harness.Start());
        ASSERT_TRUE(harness.WaitForState(SERVICE_RUNNING, 10000));

        ULONGLONG started = GetTickCount64();
        EXPECT_EQ(harness.Run(L"-remove", 20000), c.exitCode);
        ULONGLONG elapsed = GetTickCount64() - started;
        EXPECT_EQ(CServiceHarness::LogHas("CService::CmdRemove\tERROR\tService still stop pending after 30 s"),
                  !c.removed);
        if (c.removed) {
            EXPECT_TRUE(testsupport::WaitUntil([&] { return !harness.Installed(); }, std::chrono::milliseconds(10000)));
        } else {
            EXPECT_EQ(harness.State(), static_cast<DWORD>(SERVICE_STOP_PENDING)) << "left installed, as it was";
            EXPECT_GE(elapsed, 3000u);
            EXPECT_LT(elapsed, 15000u);
        }
        harness.Remove();
    }
}
