// The simulated power-management driver, reached the way the product reaches
// it: CreateFileA on "\\.\X", one DeviceIoControl with a 4-byte input and output.
#include <gtest/gtest.h>

#include "Handles.h"
#include "PmDriverCaller.h"
#include "SimPmControl.h"
#include "TestSupport.h"

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kSensors[] = "\\\\.\\DADORUZAR";
const char kRadio[] = "\\\\.\\ZOVEVI";

HANDLE OpenDevice(const char* device) {
    return ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Answer {
    bool ok;
    DWORD output;
    DWORD error;  // GetLastError after a failed open or request
};

Answer Send(HANDLE device, DWORD code, DWORD input, DWORD inputSize = sizeof(DWORD)) {
    DWORD output = 0;
    DWORD returned = 0;
    if (!::DeviceIoControl(device, code, &input, inputSize, &output, sizeof(output), &returned, nullptr))
        return {false, output, ::GetLastError()};
    EXPECT_EQ(returned, sizeof(output));
    return {true, output, ERROR_SUCCESS};
}

Answer Request(const char* device, DWORD code, DWORD input) {
    CUniqueHandle handle(OpenDevice(device));
    if (!handle) return {false, 0, ::GetLastError()};
    return Send(handle.Get(), code, input);
}

class PmDriver : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(simpm::Install(), ERROR_SUCCESS);
        ASSERT_EQ(simpm::Start(), ERROR_SUCCESS);
    }
    static void TearDownTestSuite() { EXPECT_EQ(simpm::Uninstall(), ERROR_SUCCESS); }
    void SetUp() override {
        ASSERT_TRUE(simpm::IsRunning());
        ASSERT_TRUE(simpm::Reset());
    }
};

TEST_F(PmDriver, AnswersEveryRowOfTheRequestTableFromItsState) {
    struct Row {
        const char* what;
        std::function<bool()> arrange;
        const char* device;
        DWORD code;
        DWORD input;
        DWORD expected;
    };
    const Row rows[] = {
        {"P-sensor present, detection on", [] { return simpm::SetPSensor(true, true); }, kSensors, 0x222690, 0, 0x3},
        {"P-sensor present, detection off", [] { return simpm::SetPSensor(true, false); }, kSensors, 0x222690, 0, 0x1},
        {"no P-sensor", [] { return simpm::SetPSensor(false, false); }, kSensors, 0x222690, 0, 0x0},
        {"Thermova present", [] { return simpm::SetThermova(true, false); }, kSensors, 0x22270C, 3, 0x20000},
        {"no Thermova", [] { return simpm::SetThermova(false, false); }, kSensors, 0x22270C, 3, 0x0},
        {"Thermova unstable", [] { return simpm::SetThermova(true, true); }, kSensors, 0x22270C, 2, 0x20000},
        {"Thermova stable", [] { return simpm::SetThermova(true, false); }, kSensors, 0x22270C, 2, 0x0},
        {"radio on", [] { return simpm::SetRadio(true); }, kRadio, 0x222804, 0x00000, 0x100},
        {"radio off", [] { return simpm::SetRadio(false); }, kRadio, 0x222804, 0x00000, 0x10},
        {"WLAN normal", [] { return simpm::SetWlanReduced(false); }, kRadio, 0x222804, 0x20000, 0x100},
        {"WLAN reduced", [] { return simpm::SetWlanReduced(true); }, kRadio, 0x222804, 0x20000, 0x10},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(row.arrange());
        Answer answer = Request(row.device, row.code, row.input);
        ASSERT_TRUE(answer.ok) << answer.error;
        EXPECT_EQ(answer.output, row.expected);
    }
}

TEST_F(PmDriver, SetRequestsChangeTheStateThatLaterRequestsReport) {
    struct Row {
        const char* what;
        std::function<bool()> arrangeOpposite;
        DWORD setInput;
        DWORD getInput;
        DWORD expectedGet;
        std::function<bool(bool&)> readBack;
        bool expectedValue;
    };
    const Row rows[] = {
        {"radio off", [] { return simpm::SetRadio(true); }, 0x10010, 0x00000, 0x10, simpm::GetRadio, false},
        {"radio on", [] { return simpm::SetRadio(false); }, 0x10100, 0x00000, 0x100, simpm::GetRadio, true},
        {"WLAN reduced", [] { return simpm::SetWlanReduced(false); }, 0x30010, 0x20000, 0x10, simpm::GetWlanReduced,
         true},
        {"WLAN normal", [] { return simpm::SetWlanReduced(true); }, 0x30100, 0x20000, 0x100, simpm::GetWlanReduced,
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(row.arrangeOpposite());
        Answer set = Request(kRadio, 0x222804, row.setInput);
        ASSERT_TRUE(set.ok) << set.error;
        EXPECT_EQ(set.output, 0u);
        Answer get = Request(kRadio, 0x222804, row.getInput);
        ASSERT_TRUE(get.ok) << get.error;
        EXPECT_EQ(get.output, row.expectedGet);
        bool value = !row.expectedValue;
        ASSERT_TRUE(row.readBack(value));
        EXPECT_EQ(value, row.expectedValue);
    }
}

TEST_F(PmDriver, RegistryChangeIsSeenAtTheNextRequestOnTheSameHandle) {
    CUniqueHandle device(OpenDevice(kSensors));
    ASSERT_TRUE(device);
    ASSERT_TRUE(simpm::SetPSensor(true, false));
    EXPECT_EQ(Send(device.Get(), 0x222690, 0).output, 0x1u);
    ASSERT_TRUE(simpm::SetPSensor(true, true));
    EXPECT_EQ(Send(device.Get(), 0x222690, 0).output, 0x3u);
}

TEST_F(PmDriver, ConcurrentOpensWithReadSharingAllSucceed) {
    // The worker and both watcher threads may each hold the device at once.
    CUniqueHandle first(OpenDevice(kSensors));
    ASSERT_TRUE(first) << ::GetLastError();
    CUniqueHandle second(OpenDevice(kSensors));
    ASSERT_TRUE(second) << ::GetLastError();
    EXPECT_TRUE(Send(second.Get(), 0x222690, 0).ok);

    std::thread threads[4];
    bool ok[4] = {};
    for (int i = 0; i < 4; ++i)
        threads[i] = std::thread([&ok, i] {
            ok[i] = true;
            for (int n = 0; n < 50 && ok[i]; ++n)
                ok[i] = i % 2 ? Request(kRadio, 0x222804, 0).ok : Request(kSensors, 0x222690, 0).ok;
        });
    for (auto& t : threads) t.join();
    for (bool b : ok) EXPECT_TRUE(b);
}

TEST_F(PmDriver, ChosenRequestFailsWithAnErrorStatus) {
    ASSERT_TRUE(simpm::FailRequest(0x22270C));
    for (DWORD input : {2u, 3u}) {
        Answer answer = Request(kSensors, 0x22270C, input);
        EXPECT_FALSE(answer.ok) << input;
        EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_GEN_FAILURE)) << input;
    }
    EXPECT_TRUE(Request(kSensors, 0x222690, 0).ok);

    // Only the named input word fails; a failed set changes nothing.
    ASSERT_TRUE(simpm::FailRequest(0x222804, 0x10010));
    EXPECT_FALSE(Request(kRadio, 0x222804, 0x10010).ok);
    EXPECT_EQ(Request(kRadio, 0x222804, 0x00000).output, 0x100u);

    ASSERT_TRUE(simpm::ClearFaults());
    EXPECT_TRUE(Request(kRadio, 0x222804, 0x10010).ok);
    EXPECT_EQ(Request(kRadio, 0x222804, 0x00000).output, 0x10u);
}

TEST_F(PmDriver, ChosenRequestAnswersAnOddWordAndChangesNothing) {
    ASSERT_TRUE(simpm::AnswerRequest(0x222804, 0x00000, 0x5));
    EXPECT_EQ(Request(kRadio, 0x222804, 0x00000).output, 0x5u);
    EXPECT_EQ(Request(kRadio, 0x222804, 0x20000).output, 0x100u);

    ASSERT_TRUE(simpm::AnswerRequest(0x222804, 0x30010, 0x1));
    Answer set = Request(kRadio, 0x222804, 0x30010);
    ASSERT_TRUE(set.ok);
    EXPECT_EQ(set.output, 0x1u);
    bool reduced = true;
    ASSERT_TRUE(simpm::GetWlanReduced(reduced));
    EXPECT_FALSE(reduced);

    // Without an input word every input of the code gets the odd answer.
    ASSERT_TRUE(simpm::AnswerRequest(0x22270C, 0x7));
    EXPECT_EQ(Request(kSensors, 0x22270C, 2).output, 0x7u);
    EXPECT_EQ(Request(kSensors, 0x22270C, 3).output, 0x7u);
}

TEST_F(PmDriver, RequestsOutsideTheTableAreRefused) {
    struct Row {
        const char* what;
        const char* device;
        DWORD code;
        DWORD input;
        DWORD error;
    };
    const Row rows[] = {
        {"radio code on the sensors device", kSensors, 0x222804, 0, ERROR_INVALID_FUNCTION},
        {"P-sensor code on the radio device", kRadio, 0x222690, 0, ERROR_INVALID_FUNCTION},
        {"unknown code", kSensors, 0x222000, 0, ERROR_INVALID_FUNCTION},
        {"P-sensor with input 1", kSensors, 0x222690, 1, ERROR_INVALID_PARAMETER},
        {"Thermova with input 4", kSensors, 0x22270C, 4, ERROR_INVALID_PARAMETER},
        {"radio set to 0x20", kRadio, 0x222804, 0x10020, ERROR_INVALID_PARAMETER},
        {"radio get with a state", kRadio, 0x222804, 0x00100, ERROR_INVALID_PARAMETER},
        {"operation 4", kRadio, 0x222804, 0x40000, ERROR_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Answer answer = Request(row.device, row.code, row.input);
        EXPECT_FALSE(answer.ok);
        EXPECT_EQ(answer.error, row.error);
    }
    CUniqueHandle device(OpenDevice(kSensors));
    Answer shortInput = Send(device.Get(), 0x222690, 0, 2);
    EXPECT_FALSE(shortInput.ok);
    EXPECT_EQ(shortInput.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(PmDriver, CountsItsRequests) {
    DWORD count = 99;
    ASSERT_TRUE(simpm::GetRequestCount(count));
    EXPECT_EQ(count, 0u);
    Request(kSensors, 0x222690, 0);
    Request(kRadio, 0x222804, 0x40000);
    ASSERT_TRUE(simpm::GetRequestCount(count));
    EXPECT_EQ(count, 2u);
}

TEST_F(PmDriver, StoppedDriverCannotBeOpenedAndKeepsItsStateForTheNextStart) {
    ASSERT_TRUE(simpm::SetRadio(false));
    ASSERT_EQ(simpm::Stop(), ERROR_SUCCESS);
    EXPECT_FALSE(simpm::IsRunning());
    for (const char* device : {kSensors, kRadio}) {
        Answer answer = Request(device, device == kSensors ? 0x222690 : 0x222804, 0);
        EXPECT_FALSE(answer.ok) << device;
        EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << device;
    }
    ASSERT_EQ(simpm::Start(), ERROR_SUCCESS);
    EXPECT_EQ(Request(kRadio, 0x222804, 0).output, 0x10u);
}

// Bound of every wait for a request to be held or answered.
constexpr DWORD kWaitMs = 5000;

// Requests on threads of their own, for holds. Before the test ends the fixture
// lets go of whatever is still held, so that no caller outlives it.
class PmDriverHold : public PmDriver {
protected:
    using Call = std::shared_future<Answer>;

    Call Begin(const char* device, DWORD code, DWORD input) {
        m_calls.push_back(std::async(std::launch::async, [=] { return Request(device, code, input); }).share());
        return m_calls.back();
    }
    static bool Pending(const Call& call) { return call.wait_for(std::chrono::seconds(0)) == std::future_status::timeout; }
    static bool Answered(const Call& call) {
        return call.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
    }
    static DWORD HeldCount() {
        DWORD count = 99;
        EXPECT_TRUE(simpm::GetHeldCount(count));
        return count;
    }

    void TearDown() override {
        EXPECT_TRUE(simpm::ReleaseHeld());
        for (const Call& call : m_calls) {
            if (Answered(call)) continue;
            ADD_FAILURE() << "a request outlived the release; the driver is stopped to end it";
            simpm::Stop();
            call.wait();
        }
    }

private:
    std::vector<Call> m_calls;
};

TEST_F(PmDriverHold, HeldRequestIsAnsweredAtItsReleaseFromTheStateThen) {
    ASSERT_TRUE(simpm::HoldRequest(0x222690));
    Call held = Begin(kSensors, 0x222690, 0);
    ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
    ASSERT_TRUE(simpm::SetPSensor(true, true));
    EXPECT_TRUE(Pending(held));
    EXPECT_EQ(HeldCount(), 1u);

    ASSERT_TRUE(simpm::ReleaseHeld());
    ASSERT_TRUE(Answered(held));
    EXPECT_TRUE(held.get().ok) << held.get().error;
    EXPECT_EQ(held.get().output, 0x3u);
    EXPECT_EQ(HeldCount(), 0u);

    // The hold stays for the next request of the code.
    Call next = Begin(kSensors, 0x222690, 0);
    ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
    EXPECT_TRUE(Pending(next));
}

TEST_F(PmDriverHold, ReleaseOfOneLetsTheOldestGoAndCarriesItOutThen) {
    ASSERT_TRUE(simpm::HoldRequest(0x222804));
    Call switchOff = Begin(kRadio, 0x222804, 0x10010);
    ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
    Call get = Begin(kRadio, 0x222804, 0x00000);
    ASSERT_TRUE(simpm::WaitForHeld(2, kWaitMs));
    bool on = false;
    ASSERT_TRUE(simpm::GetRadio(on));
    EXPECT_TRUE(on) << "a held switch changed the state before its release";

    ASSERT_TRUE(simpm::ReleaseHeld(1));
    ASSERT_TRUE(Answered(switchOff));
    EXPECT_TRUE(switchOff.get().ok) << switchOff.get().error;
    EXPECT_TRUE(Pending(get));
    EXPECT_EQ(HeldCount(), 1u);
    ASSERT_TRUE(simpm::GetRadio(on));
    EXPECT_FALSE(on);

    ASSERT_TRUE(simpm::ReleaseHeld(1));
    ASSERT_TRUE(Answered(get));
    EXPECT_EQ(get.get().output, 0x10u);
}

TEST_F(PmDriverHold, OtherRequestsAreAnsweredWhileOneIsHeld) {
    struct Row {
        const char* what;
        std::function<bool()> hold;
        const char* heldDevice;
        DWORD heldCode;
        DWORD heldInput;
        DWORD heldOutput;
        const char* otherDevice;
        DWORD otherCode;
        DWORD otherInput;
        DWORD otherOutput;
    };
    const Row rows[] = {
        {"another code of the device", [] { return simpm::HoldRequest(0x222690); }, kSensors, 0x222690, 0, 0x1,
         kSensors, 0x22270C, 3, 0x20000},
        {"another device", [] { return simpm::HoldRequest(0x222690); }, kSensors, 0x222690, 0, 0x1, kRadio, 0x222804,
         0x00000, 0x100},
        {"another input word of the code", [] { return simpm::HoldRequest(0x222804, 0x20000); }, kRadio, 0x222804,
         0x20000, 0x100, kRadio, 0x222804, 0x00000, 0x100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(row.hold());
        Call held = Begin(row.heldDevice, row.heldCode, row.heldInput);
        ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
        Answer other = Request(row.otherDevice, row.otherCode, row.otherInput);
        EXPECT_TRUE(other.ok) << other.error;
        EXPECT_EQ(other.output, row.otherOutput);
        EXPECT_TRUE(Pending(held));

        ASSERT_TRUE(simpm::ReleaseHeld());
        ASSERT_TRUE(Answered(held));
        EXPECT_EQ(held.get().output, row.heldOutput);
    }
}

TEST_F(PmDriverHold, ClearFaultsHoldsNoMoreAndKeepsWhatIsHeld) {
    ASSERT_TRUE(simpm::HoldRequest(0x222690));
    Call held = Begin(kSensors, 0x222690, 0);
    ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
    ASSERT_TRUE(simpm::ClearFaults());
    EXPECT_TRUE(Request(kSensors, 0x222690, 0).ok);
    EXPECT_TRUE(Pending(held));
    EXPECT_EQ(HeldCount(), 1u);

    ASSERT_TRUE(simpm::ReleaseHeld());
    ASSERT_TRUE(Answered(held));
    EXPECT_TRUE(held.get().ok);
}

// A second process, ended when the test ends if it has not ended by itself.
class CallerProcess {
public:
    bool Start(const char* device, DWORD code, DWORD input) {
        wchar_t arguments[64];
        ::wsprintfW(arguments, L"\" %hs %lx %lx", device, code, input);
        m_process = testsupport::StartProcess(L"\"" + testsupport::BuildPathW(L"tests\\bin\\pmdriver_caller.exe") +
                                              arguments);
        return static_cast<bool>(m_process);
    }
    bool Running() const { return ::WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT; }
    // The exit code once it has ended within the bound; false while it runs on.
    bool WaitForExit(DWORD& exitCode) const {
        return ::WaitForSingleObject(m_process.Get(), kWaitMs) == WAIT_OBJECT_0 &&
               ::GetExitCodeProcess(m_process.Get(), &exitCode);
    }
    void Terminate() {
        ::TerminateProcess(m_process.Get(), 1);
        ::WaitForSingleObject(m_process.Get(), kWaitMs);
    }
    ~CallerProcess() {
        if (m_process && Running()) Terminate();
    }

private:
    CUniqueHandle m_process;
};

TEST_F(PmDriverHold, RequestOfAnotherProcessIsHeldToo) {
    ASSERT_TRUE(simpm::HoldRequest(0x222690));
    CallerProcess caller;
    ASSERT_TRUE(caller.Start(kSensors, 0x222690, 0));
    ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
    ASSERT_TRUE(simpm::SetPSensor(true, true));
    EXPECT_TRUE(caller.Running());

    ASSERT_TRUE(simpm::ReleaseHeld());
    DWORD exitCode = 0;
    ASSERT_TRUE(caller.WaitForExit(exitCode));
    EXPECT_EQ(exitCode, 0x3u);
}

TEST_F(PmDriverHold, CallerThatEndsWhileHeldLeavesNothingHeld) {
    ASSERT_TRUE(simpm::HoldRequest(0x222690));
    CallerProcess caller;
    ASSERT_TRUE(caller.Start(kSensors, 0x222690, 0));
    ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
    caller.Terminate();
    EXPECT_TRUE(testsupport::WaitUntil([] { return HeldCount() == 0; }, std::chrono::milliseconds(kWaitMs)));
    // Nothing of the cancelled request is left for a release to answer.
    ASSERT_TRUE(simpm::ReleaseHeld());
    ASSERT_TRUE(simpm::ClearFaults());
    EXPECT_TRUE(Request(kSensors, 0x222690, 0).ok);
}

TEST_F(PmDriverHold, ResetStopAndUninstallEndAHold) {
    struct Row {
        const char* what;
        std::function<bool()> end;
        bool answered;  // else it fails as aborted
        std::function<bool()> restore;
    };
    const Row rows[] = {
        {"reset", [] { return simpm::Reset(); }, true, [] { return true; }},
        {"stop", [] { return simpm::Stop() == ERROR_SUCCESS; }, false, [] { return simpm::Start() == ERROR_SUCCESS; }},
        {"uninstall", [] { return simpm::Uninstall() == ERROR_SUCCESS; }, false,
         [] { return simpm::Install() == ERROR_SUCCESS && simpm::Start() == ERROR_SUCCESS; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(simpm::HoldRequest(0x222690));
        Call held = Begin(kSensors, 0x222690, 0);
        ASSERT_TRUE(simpm::WaitForHeld(1, kWaitMs));
        ASSERT_TRUE(row.end());
        ASSERT_TRUE(Answered(held));
        if (row.answered) {
            EXPECT_TRUE(held.get().ok) << held.get().error;
        } else {
            EXPECT_FALSE(held.get().ok);
            EXPECT_EQ(held.get().error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        }
        ASSERT_TRUE(row.restore());
    }
}

// Without the fixture: each step on its own, repeated and out of order, as an
// interrupted earlier run would leave things.
TEST(PmDriverControl, LifecycleStepsAreIdempotent) {
    ASSERT_EQ(simpm::Uninstall(), ERROR_SUCCESS);
    EXPECT_EQ(simpm::Uninstall(), ERROR_SUCCESS);
    EXPECT_EQ(simpm::Stop(), ERROR_SUCCESS);
    EXPECT_FALSE(simpm::SetRadio(true));
    bool on = false;
    EXPECT_FALSE(simpm::GetRadio(on));
    EXPECT_FALSE(simpm::HoldRequest(0x222690));
    EXPECT_FALSE(simpm::ReleaseHeld());
    DWORD held = 99;
    EXPECT_FALSE(simpm::GetHeldCount(held));

    ASSERT_EQ(simpm::Install(), ERROR_SUCCESS);
    // Installed but stopped: nothing can be held.
    EXPECT_TRUE(simpm::GetHeldCount(held));
    EXPECT_EQ(held, 0u);
    EXPECT_TRUE(simpm::ReleaseHeld());
    ASSERT_EQ(simpm::Start(), ERROR_SUCCESS);
    ASSERT_TRUE(simpm::FailRequest(0x222690));
    EXPECT_EQ(simpm::Start(), ERROR_SUCCESS);
    // Installing over a running driver: stopped, replaced, default state and no faults.
    ASSERT_EQ(simpm::Install(), ERROR_SUCCESS);
    EXPECT_FALSE(simpm::IsRunning());
    ASSERT_EQ(simpm::Start(), ERROR_SUCCESS);
    EXPECT_EQ(Request(kSensors, 0x222690, 0).output, 0x1u);
    EXPECT_EQ(simpm::Stop(), ERROR_SUCCESS);
    EXPECT_EQ(simpm::Stop(), ERROR_SUCCESS);
    EXPECT_EQ(simpm::Uninstall(), ERROR_SUCCESS);
    EXPECT_FALSE(simpm::IsInstalled());
}

TEST(PmDriverControl, InstallWaitsOutAServiceMarkedForDelete) {
    ASSERT_EQ(simpm::Install(), ERROR_SUCCESS);
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    CUniqueScHandle leftover(::OpenServiceA(manager.Get(), SIMPM_SERVICE_NAME, DELETE));
    ASSERT_TRUE(leftover);
    ASSERT_TRUE(::DeleteService(leftover.Get()));
    // A handle still open elsewhere keeps it marked for delete for a while.
    std::thread holder([&leftover] {
        ::Sleep(300);
        leftover.Reset();
    });
    DWORD installed = simpm::Install();
    holder.join();
    EXPECT_EQ(installed, ERROR_SUCCESS);
    EXPECT_EQ(simpm::Start(), ERROR_SUCCESS);
    EXPECT_TRUE(Request(kSensors, 0x222690, 0).ok);
    EXPECT_EQ(simpm::Uninstall(), ERROR_SUCCESS);
}

}  // namespace
