#include "SimPmControl.h"

#include "Handles.h"

#include <functional>
#include <initializer_list>

namespace simpm {

namespace {
// The SCM keeps this Windows path; the file is copied there from the build.
const char kInstalledPath[] = "C:\\windows\\system32\\drivers\\" SIMPM_SYS_FILE;
const char kSensorsDevice[] = "\\\\.\\" SIMPM_DEVICE_SENSORS;
const char kControlDevice[] = "\\\\.\\" SIMPM_DEVICE_CONTROL;
constexpr DWORD kStateWaitMs = 10000;

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = kStateWaitMs) {
    ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!done()) {
        if (::GetTickCount64() > deadline) return false;
        ::Sleep(5);
    }
    return true;
}

DWORD OpenService(DWORD access, CUniqueScHandle& service) {
    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return ::GetLastError();
    service.Reset(::OpenServiceA(manager.Get(), SIMPM_SERVICE_NAME, access));
    return service ? ERROR_SUCCESS : ::GetLastError();
}

DWORD QueryState(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service, &status)) return 0;
    return status.dwCurrentState;
}

HANDLE OpenDevice(const char* device) {
    return ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
}

// The error that opening the device gives now; ERROR_SUCCESS while the driver is loaded.
DWORD ProbeDevice() {
    CUniqueHandle device(OpenDevice(kSensorsDevice));
    return device ? ERROR_SUCCESS : ::GetLastError();
}

// One request to the driver's control device. A stopped driver holds nothing, so
// while the driver is installed a control device that does not open answers 0.
bool Control(DWORD code, DWORD input, DWORD& output) {
    CUniqueHandle device(OpenDevice(kControlDevice));
    if (!device) {
        output = 0;
        return ::GetLastError() == ERROR_FILE_NOT_FOUND && IsInstalled();
    }
    DWORD returned = 0;
    return ::DeviceIoControl(device.Get(), code, &input, sizeof(input), &output, sizeof(output), &returned,
                             nullptr) &&
           returned == sizeof(output);
}

bool WriteDword(const char* name, DWORD value) {
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIMPM_SERVICE_KEY, 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS)
        return false;
    return ::RegSetValueExA(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
           ERROR_SUCCESS;
}

// Null names are skipped.
bool DeleteValues(std::initializer_list<const char*> names) {
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, SIMPM_SERVICE_KEY, 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS)
        return false;
    for (const char* name : names) {
        if (name == nullptr) continue;
        LONG rc = ::RegDeleteValueA(key.Get(), name);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return false;
    }
    return true;
}

// The registry values of one kind of fault.
struct Fault {
    const char* code;
    const char* input;
    const char* output;  // nullptr: the fault has none
};
const Fault kFail = {SIMPM_VALUE_FAIL_CODE, SIMPM_VALUE_FAIL_INPUT, nullptr};
const Fault kAnswer = {SIMPM_VALUE_ANSWER_CODE, SIMPM_VALUE_ANSWER_INPUT, SIMPM_VALUE_ANSWER_OUTPUT};
const Fault kHold = {SIMPM_VALUE_HOLD_CODE, SIMPM_VALUE_HOLD_INPUT, nullptr};

// The code goes first and comes back last: the driver, reading between two writes,
// never pairs a code with the input word or output of the fault before.
bool SetFault(const Fault& fault, DWORD code, const DWORD* input, DWORD output = 0) {
    if (!DeleteValues({fault.code, fault.input})) return false;
    if (input && !WriteDword(fault.input, *input)) return false;
    if (fault.output && !WriteDword(fault.output, output)) return false;
    return WriteDword(fault.code, code);
}

bool ReadFlag(const char* name, bool fallback, bool& value) {
    if (!IsInstalled()) return false;
    DWORD data = 0;
    DWORD size = sizeof(data);
    LONG rc = ::RegGetValueA(HKEY_LOCAL_MACHINE, SIMPM_SERVICE_KEY, name, RRF_RT_REG_DWORD, nullptr, &data, &size);
    value = rc == ERROR_SUCCESS ? data != 0 : fallback;
    return true;
}

DWORD CreateOrReconfigure(SC_HANDLE manager) {
    CUniqueScHandle service(::CreateServiceA(manager, SIMPM_SERVICE_NAME, SIMPM_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             kInstalledPath, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service) return ERROR_SUCCESS;
    DWORD error = ::GetLastError();
    if (error != ERROR_SERVICE_EXISTS) return error;
    service.Reset(::OpenServiceA(manager, SIMPM_SERVICE_NAME, SERVICE_CHANGE_CONFIG));
    if (!service) return ::GetLastError();
    if (!::ChangeServiceConfigA(service.Get(), SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                kInstalledPath, nullptr, nullptr, nullptr, nullptr, nullptr, SIMPM_SERVICE_NAME))
        return ::GetLastError();
    return ERROR_SUCCESS;
}
}  // namespace

DWORD Install() {
    // A loaded driver keeps its image mapped: stop it before the file is replaced.
    DWORD error = Stop();
    if (error != ERROR_SUCCESS) return error;
    if (!::CopyFileA(SIMPM_SYS_SOURCE, kInstalledPath, FALSE)) return ::GetLastError();

    CUniqueScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) return ::GetLastError();
    // A service marked for delete goes once its last handle is closed; until then
    // neither a create nor a change of its configuration is allowed.
    if (!WaitFor([&] {
            error = CreateOrReconfigure(manager.Get());
            return error != ERROR_SERVICE_MARKED_FOR_DELETE;
        }))
        return ERROR_TIMEOUT;
    if (error != ERROR_SUCCESS) return error;
    return Reset() ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

DWORD Start() {
    CUniqueScHandle service;
    DWORD error = OpenService(SERVICE_START | SERVICE_QUERY_STATUS, service);
    if (error != ERROR_SUCCESS) return error;
    if (!::StartServiceA(service.Get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        return ::GetLastError();
    if (!WaitFor([&] { return QueryState(service.Get()) == SERVICE_RUNNING && ProbeDevice() == ERROR_SUCCESS; }))
        return ERROR_TIMEOUT;
    return ERROR_SUCCESS;
}

DWORD Stop() {
    CUniqueScHandle service;
    DWORD error = OpenService(SERVICE_STOP | SERVICE_QUERY_STATUS, service);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS) return error;
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        error = ::GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return error;
    }
    if (!WaitFor([&] {
            return QueryState(service.Get()) == SERVICE_STOPPED && ProbeDevice() == ERROR_FILE_NOT_FOUND;
        }))
        return ERROR_TIMEOUT;
    return ERROR_SUCCESS;
}

DWORD Uninstall() {
    DWORD error = Stop();
    if (error != ERROR_SUCCESS) return error;
    {
        CUniqueScHandle service;
        error = OpenService(DELETE, service);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
        if (error != ERROR_SUCCESS) return error;
        if (!::DeleteService(service.Get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            return ::GetLastError();
    }
    if (!WaitFor([] { return !IsInstalled(); })) return ERROR_TIMEOUT;
    ::DeleteFileA(kInstalledPath);
    return ERROR_SUCCESS;
}

bool IsInstalled() {
    CUniqueScHandle service;
    return OpenService(SERVICE_QUERY_STATUS, service) == ERROR_SUCCESS;
}

bool IsRunning() {
    CUniqueScHandle service;
    return OpenService(SERVICE_QUERY_STATUS, service) == ERROR_SUCCESS && QueryState(service.Get()) == SERVICE_RUNNING;
}

bool SetPSensor(bool present, bool detectionOn) {
    return WriteDword(SIMPM_VALUE_PSENSOR_PRESENT, present) && WriteDword(SIMPM_VALUE_PSENSOR_DETECTION, detectionOn);
}

bool SetThermova(bool present, bool unstable) {
    return WriteDword(SIMPM_VALUE_THERMOVA_PRESENT, present) && WriteDword(SIMPM_VALUE_THERMOVA_UNSTABLE, unstable);
}

bool SetRadio(bool on) { return WriteDword(SIMPM_VALUE_RADIO_ON, on); }

bool GetRadio(bool& on) { return ReadFlag(SIMPM_VALUE_RADIO_ON, SIMPM_DEFAULT_RADIO_ON, on); }

bool SetWlanReduced(bool reduced) { return WriteDword(SIMPM_VALUE_WLAN_REDUCED, reduced); }

bool GetWlanReduced(bool& reduced) { return ReadFlag(SIMPM_VALUE_WLAN_REDUCED, SIMPM_DEFAULT_WLAN_REDUCED, reduced); }

bool FailRequest(DWORD code) { return SetFault(kFail, code, nullptr); }

bool FailRequest(DWORD code, DWORD input) { return SetFault(kFail, code, &input); }

bool AnswerRequest(DWORD code, DWORD output) { return SetFault(kAnswer, code, nullptr, output); }

bool AnswerRequest(DWORD code, DWORD input, DWORD output) { return SetFault(kAnswer, code, &input, output); }

bool HoldRequest(DWORD code) { return SetFault(kHold, code, nullptr); }

bool HoldRequest(DWORD code, DWORD input) { return SetFault(kHold, code, &input); }

bool ClearFaults() {
    for (const Fault& fault : {kFail, kAnswer, kHold})
        if (!DeleteValues({fault.code, fault.input, fault.output})) return false;
    return true;
}

bool ReleaseHeld() { return ReleaseHeld(SIMPM_RELEASE_ALL); }

bool ReleaseHeld(DWORD count) {
    DWORD released = 0;
    return Control(SIMPM_IOCTL_RELEASE_HELD, count, released);
}

bool GetHeldCount(DWORD& count) { return Control(SIMPM_IOCTL_HELD_COUNT, 0, count); }

bool WaitForHeld(DWORD count, DWORD timeoutMs) {
    DWORD held = 0;
    return WaitFor([&] { return GetHeldCount(held) && held >= count; }, timeoutMs);
}

bool GetRequestCount(DWORD& count) {
    DWORD size = sizeof(count);
    LONG rc = ::RegGetValueA(HKEY_LOCAL_MACHINE, SIMPM_SERVICE_KEY, SIMPM_VALUE_REQUEST_COUNT, RRF_RT_REG_DWORD,
                             nullptr, &count, &size);
    if (rc == ERROR_FILE_NOT_FOUND && IsInstalled()) {
        count = 0;
        return true;
    }
    return rc == ERROR_SUCCESS;
}

bool Reset() {
    // No new holds first, so that what the release lets go is all there is.
    return ClearFaults() && ReleaseHeld() && WriteDword(SIMPM_VALUE_REQUEST_COUNT, 0) &&
           SetPSensor(SIMPM_DEFAULT_PSENSOR_PRESENT, SIMPM_DEFAULT_PSENSOR_DETECTION) &&
           SetThermova(SIMPM_DEFAULT_THERMOVA_PRESENT, SIMPM_DEFAULT_THERMOVA_UNSTABLE) &&
           SetRadio(SIMPM_DEFAULT_RADIO_ON) && SetWlanReduced(SIMPM_DEFAULT_WLAN_REDUCED);
}

}  // namespace simpm
