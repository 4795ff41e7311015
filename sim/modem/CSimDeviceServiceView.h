// The pointer an event passes for a device service in the tearoff and other
// delivery modes: a small object of its own, made for one event, that
// forwards every call to the service object the request was made on. As a
// tear-off it answers IID_IUnknown with that object's IUnknown (the same COM
// identity); as another object, like a new proxy or a fresh functional object
// for the same service, with its own.
#pragma once

#include "CSimModem.h"
#include "SimCom.h"

class CSimDeviceServiceView : public CSimComBase<IMbnDeviceService> {
public:
    // What an event about service passes under the current mode: service itself in "same".
    static Microsoft::WRL::ComPtr<IMbnDeviceService> ForDelivery(CSimDeviceService* service);

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
    CSimDeviceServiceView(IMbnDeviceService* target, bool sharesIdentity);
    ~CSimDeviceServiceView() override;

    Microsoft::WRL::ComPtr<IMbnDeviceService> m_target;
    bool m_sharesIdentity;
};
