// The modem objects of the Windows Runtime Mobile Broadband API that the SAR
// configuration uses, as one small interface: MobileBroadbandModem, its device
// service and command session, the asynchronous command, the modem
// configuration and MobileBroadbandSarManager. SarGetDefaultModem gives the
// implementation over the Mobile Broadband COM device-services API; a build
// with the Windows SDK can put a WinRT implementation beside it.
//
// Failures are raised as hresult_error, as the WinRT projection raises them.
#pragma once

#include <windows.h>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class hresult_error {
public:
    // The message is the system's text for the code, without trailing white space.
    explicit hresult_error(HRESULT code);
    hresult_error(HRESULT code, std::wstring message);
    HRESULT code() const noexcept { return m_code; }
    const std::wstring& message() const noexcept { return m_message; }

private:
    HRESULT m_code;
    std::wstring m_message;
};

// What the layer's waits raise when they end without the operation's completion:
// the bound passed (the modem never answered), or the calling thread's stop came.
const HRESULT SAR_E_TIMEOUT = static_cast<HRESULT>(0x800705B4);  // HRESULT_FROM_WIN32(ERROR_TIMEOUT)
const HRESULT SAR_E_STOPPED = static_cast<HRESULT>(0x800704C7);  // HRESULT_FROM_WIN32(ERROR_CANCELLED)

// The completion of an asynchronous operation, whatever its result: Completed's
// handler runs once, on a platform thread (or at once when the operation has
// already ended).
class ISarCompletion {
public:
    virtual ~ISarCompletion() = default;
    virtual void Completed(std::function<void()> handler) = 0;
};

// An asynchronous operation; GetResults raises the operation's failure.
template <typename TResult>
class ISarAsync : public ISarCompletion {
public:
    virtual TResult GetResults() = 0;
};

// Blocks until operation has completed: for at most boundMs of the system's
// clock (CClock::ScaleBound; INFINITE: no bound), and never past the calling
// thread's stop (CClock::CThreadStopScope). Raises hresult_error SAR_E_TIMEOUT
// or SAR_E_STOPPED when the wait ends without the completion.
void SarAwaitCompletion(ISarCompletion& operation, DWORD boundMs);

struct SarCommandResult {
    uint32_t StatusCode = 0;  // the modem's status, 0 success
    std::vector<uint8_t> ResponseData;
};

class ISarCommandSession {
public:
    virtual ~ISarCommandSession() = default;
    virtual std::shared_ptr<ISarAsync<SarCommandResult>> SendSetCommandAsync(uint32_t commandId,
                                                                             const std::vector<uint8_t>& data) = 0;
    virtual std::shared_ptr<ISarAsync<SarCommandResult>> SendQueryCommandAsync(uint32_t commandId,
                                                                               const std::vector<uint8_t>& data) = 0;
    virtual void CloseSession() = 0;
};

class ISarDeviceService {
public:
    virtual ~ISarDeviceService() = default;
    // Null when the platform gives no session.
    virtual std::shared_ptr<ISarCommandSession> OpenCommandSession() = 0;
};

class ISarManager {
public:
    using TransmissionStateChangedHandler =
        std::function<void(const std::shared_ptr<ISarManager>& sender, bool isTransmitting)>;

    virtual ~ISarManager() = default;
    virtual std::shared_ptr<ISarAsync<void>> SetTransmissionStateChangedHysteresisAsync(int64_t hysteresis100ns) = 0;
    virtual void AddTransmissionStateChanged(TransmissionStateChangedHandler handler) = 0;
    virtual void StartTransmissionStateMonitoring() = 0;
    virtual void StopTransmissionStateMonitoring() = 0;
};

class ISarModemConfiguration {
public:
    virtual ~ISarModemConfiguration() = default;
    // Null when the modem offers no SAR control.
    virtual std::shared_ptr<ISarManager> SarManager() = 0;
};

class ISarModem {
public:
    virtual ~ISarModem() = default;
    virtual std::wstring Model() = 0;
    // 0 off, 1 on.
    virtual int CurrentRadioState() = 0;
    // Null when the modem has no such service.
    virtual std::shared_ptr<ISarDeviceService> GetDeviceService(const GUID& serviceId) = 0;
    virtual std::shared_ptr<ISarAsync<std::shared_ptr<ISarModemConfiguration>>> GetCurrentConfigurationAsync() = 0;
};

// The default modem (the first interface the Mobile Broadband API reports), or
// null when there is none. Joins the process-wide multithreaded apartment when
// the calling thread has no COM of its own.
std::shared_ptr<ISarModem> SarGetDefaultModem();
