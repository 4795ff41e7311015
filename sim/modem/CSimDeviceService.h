// One device-service object, as GetDeviceService hands it out (a new object
// per call). Its command session is its own; a removal of the interface
// closes it. Completions and notifications about it pass this very pointer in
// the "same" delivery mode, else a pointer made for the event
// (CSimDeviceServiceView).
#pragma once

#include "CSimModem.h"
#include "SimCom.h"

class CSimDeviceService : public CSimComBase<IMbnDeviceService> {
public:
    CSimDeviceService(SimRecordPtr record, std::wstring serviceId);

    const SimRecordPtr& Record() const { return m_record; }
    const std::wstring& ServiceId() const { return m_serviceId; }
    // Lock held.
    bool SessionOpenLocked() const;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

    HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY* data, ULONG* requestId) override;
    HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* interfaceId) override;
    HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* serviceId) override;
    HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL* open) override;
    HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL* open) override;

private:
    ~CSimDeviceService() override;
    HRESULT Session(bool open, ULONG* requestId);
    HRESULT Command(bool set, ULONG commandId, SAFEARRAY* data, ULONG* requestId);
    // Sends the completion and the notifications and reboot that follow it (lock held).
    void Finish(bool set, ULONG commandId, ULONG requestId, const SimCommandResult& result);
    // A completion that a stray-completion fault sends ahead of the command's own.
    struct StrayCompletion {
        Microsoft::WRL::ComPtr<CSimDeviceService> service;
        ULONG requestId = 0;
        HRESULT status = S_OK;
    };
    // Lock held.
    std::vector<StrayCompletion> StrayCompletions(bool set, ULONG commandId, ULONG requestId);
    static void DeliverCompletion(const Microsoft::WRL::ComPtr<CSimDeviceService>& service, bool set, ULONG commandId,
                                  ULONG requestId, HRESULT status, const simcodec::Bytes& reply);

    SimRecordPtr m_record;
    std::wstring m_serviceId;
    SimServiceKind m_kind;
    // Guarded by the modem's lock: open when set and opened in the current epoch.
    bool m_sessionOpen = false;
    uint32_t m_sessionEpoch = 0;
};
