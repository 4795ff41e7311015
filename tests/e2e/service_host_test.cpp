// The real TARVOSVC.exe under the prefix's Service Control Manager.
#include "ServiceHarness.h"
#include "SimPmControl.h"
#include "SimulatedMachine.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

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
}  // namespace

TEST_F(ServiceHost, CommandLineLifecycle) {
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

TEST_F(ServiceHost, TagFileLeavesTheServiceRunningWithoutBackOff) {
    CreateDirectoryW(L"C:\\VAWMIR", nullptr);
    ASSERT_TRUE(testsupport::WriteFileBytes(L"C:\\VAWMIR\\Tarvo.tag", {}));
    ASSERT_EQ(harness.Run(L"-install"), 0);
    ASSERT_TRUE(harness.Start());
    ASSERT_TRUE(harness.WaitForState(SERVICE_RUNNING, 5000));
    EXPECT_TRUE(CServiceHarness::WaitForLog("CTarvoApplication::Run\tINFO\tTarvo.tag is found, do not proceed Tarvo init!",
                                            5000));
    Sleep(300);
    EXPECT_EQ(harness.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_FALSE(CServiceHarness::LogHas("Inside Run()"));
    EXPECT_TRUE(harness.StopAndWait());
    testsupport::RemoveFile(L"C:\\VAWMIR\\Tarvo.tag");
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
