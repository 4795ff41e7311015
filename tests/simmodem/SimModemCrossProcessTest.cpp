// A simulator inside another process: it starts from the registry's start
// state (faults included), takes changes from the control key, mirrors its
// state back and logs every command to a file the parent reads while it runs.
#include "CSimModemControl.h"
#include "CSimModemRemote.h"
#include "Handles.h"
#include "Mbn.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

class CrossProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CSimModemControl::Register());
        testsupport::RemoveFile(m_log);
    }
    void TearDown() override {
        if (m_child) {
            ::TerminateProcess(m_child.Get(), 1);
            ::WaitForSingleObject(m_child.Get(), 5000);
        }
        CSimModemRemote::Clear();
        testsupport::RemoveFile(m_log);
    }

    bool StartChild(const std::wstring& arguments, DWORD& pid) {
        m_child = testsupport::StartProcess(L"\"" + testsupport::BuildPathW(L"tests\\bin\\simmodem_child.exe") + L"\" " +
                                            arguments);
        if (!m_child) return false;
        pid = ::GetProcessId(m_child.Get());
        return true;
    }

    const std::wstring m_log = testsupport::BuildPathW(L"tests\\simmodem_child.log");
    CUniqueHandle m_child;
};

TEST_F(CrossProcess, ChildStartsFromTheRegistryTakesChangesAndLogsItsCommands) {
    simmodem::StartState state;
    state.interfaces = {simmodem::InterfaceSpec::Fibocom()};
    state.interfaces[0].tableIndex = 4;
    state.settings.logFile = m_log;
    state.faults.push_back(simmodem::FaultSpec::Hold(SIMMODEM_SERVICE_DIAG, 3, 1, SIMMODEM_OP_SET));
    ASSERT_TRUE(CSimModemRemote::WriteStartState(state));
    // Set by the child once its read-back has come: the removal waits for it.
    CUniqueHandle queryRead(::CreateEventW(nullptr, TRUE, FALSE, L"TarvoSimModemChild.QueryRead"));
    ASSERT_TRUE(queryRead.IsValid());

    DWORD pid = 0;
    ASSERT_TRUE(StartChild(L"\"Fibocom L860-GL\"", pid));
    ASSERT_TRUE(CSimModemRemote::WaitForActivation(pid, 15000));
    ASSERT_TRUE(CSimModemRemote::WaitForStatus(
        [](const simreg::Status& s) { return s.advised[SIMMODEM_SINK_RADIO] == 1; }, 15000));

    EXPECT_FALSE(CSimModemRemote::SendChange(L"explode;if=0")) << "an unknown change is refused";
    ASSERT_TRUE(CSimModemRemote::SetRadio(0, MBN_RADIO_OFF));

    // The child's enable is held until the parent lets it go; it waits for it.
    ASSERT_TRUE(CSimModemRemote::WaitForHeld(1, 15000));
    ASSERT_EQ(2u, CSimModemRemote::ReadLog(m_log).size()) << "the session open and the held set, nothing after";
    ASSERT_TRUE(CSimModemRemote::ReleaseHeld(1));

    // The log file is read while the child still writes it.
    std::vector<simmodem::LogEntry> log;
    ASSERT_TRUE(CSimModemRemote::WaitForLog(m_log, SIMMODEM_OPMASK(SIMMODEM_OP_QUERY), 1, 15000, &log));
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(uint32_t(SIMMODEM_OP_OPEN_SESSION), log[0].op);
    EXPECT_EQ(SIMMODEM_SERVICE_DIAG, log[0].service);
    EXPECT_EQ(uint32_t(SIMMODEM_OP_SET), log[1].op);
    EXPECT_EQ(3u, log[1].cid);
    EXPECT_EQ((simmodem::Bytes{0x00, 0x11}), log[1].payload);
    EXPECT_EQ(uint32_t(SIMMODEM_OP_QUERY), log[2].op);
    EXPECT_TRUE(log[2].payload.empty());
    EXPECT_LT(log[1].requestId, log[2].requestId);

    simreg::Status status;
    EXPECT_TRUE(CSimModemRemote::WaitForStatus(
        [](const simreg::Status& s) { return s.logCount == 3 && !s.interfaces.empty() && s.interfaces[0].sarEnable; },
        5000, &status));
    EXPECT_EQ(pid, status.pid);
    EXPECT_EQ(2u, status.applied);
    EXPECT_EQ(0u, status.held);
    EXPECT_EQ(1u, status.rejected);
    ASSERT_EQ(1u, status.interfaces.size());
    EXPECT_EQ(0u, status.interfaces[0].hardwareRadio);
    EXPECT_EQ(4u, status.interfaces[0].tableIndex);
    EXPECT_EQ(1u, status.interfaces[0].openSessions);

    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(queryRead.Get(), 15000)) << "the child read the flag back";
    ASSERT_TRUE(CSimModemRemote::RemoveInterface(0));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(m_child.Get(), 20000));
    DWORD code = 99;
    ::GetExitCodeProcess(m_child.Get(), &code);
    EXPECT_EQ(0u, code) << "the child's failing step";
    m_child.Reset();
}

TEST_F(CrossProcess, ChangeWithoutASimulatorIsWithdrawn) {
    simmodem::StartState state;
    ASSERT_TRUE(CSimModemRemote::WriteStartState(state));
    EXPECT_FALSE(CSimModemRemote::SetRadio(0, MBN_RADIO_OFF, MBN_RADIO_OFF, 200));
    CUniqueHKey control;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, simreg::kControlKey, 0, KEY_READ, control.Put()));
    DWORD values = 99;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(control.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, values) << "a later simulator must not apply a change its sender gave up on";
}

}  // namespace
