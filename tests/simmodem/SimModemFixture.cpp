#include "SimModemFixture.h"

namespace simtest {

void SimModemTest::SetUp() {
    ASSERT_TRUE(CSimModemRemote::Clear());
    ASSERT_TRUE(CSimModemControl::Register());
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    m_comInitialized = true;
    ASSERT_TRUE(m_sim.Load());
    ASSERT_TRUE(m_sim.Reset(State()));
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL,
                                                IID_IMbnInterfaceManager,
                                                reinterpret_cast<void**>(m_manager.GetAddressOf())));
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL,
                                                IID_IMbnDeviceServicesManager,
                                                reinterpret_cast<void**>(m_services.GetAddressOf())));
    m_sink.Attach(new CTestSink());
    IUnknown* sink = static_cast<IMbnInterfaceManagerEvents*>(m_sink.Get());
    const IID* managerIids[] = {&IID_IMbnInterfaceManagerEvents, &IID_IMbnRadioEvents, &IID_IMbnRegistrationEvents};
    for (const IID* iid : managerIids) {
        Advised a;
        ASSERT_HRESULT_SUCCEEDED(Advise(m_manager.Get(), *iid, sink, a.point, a.cookie));
        m_advised.push_back(a);
    }
    Advised a;
    ASSERT_HRESULT_SUCCEEDED(Advise(m_services.Get(), IID_IMbnDeviceServicesEvents, sink, a.point, a.cookie));
    m_advised.push_back(a);
}

void SimModemTest::TearDown() {
    for (Advised& a : m_advised) a.point->Unadvise(a.cookie);
    m_advised.clear();
    m_sink.Reset();
    m_services.Reset();
    m_manager.Reset();
    if (m_comInitialized) ::CoUninitialize();
}

ComPtr<IMbnInterface> SimModemTest::Interface(uint32_t position) {
    ComPtr<IMbnInterface> result;
    SAFEARRAY* array = nullptr;
    if (FAILED(m_manager->GetInterfaces(&array)) || !array) return result;
    LONG index = static_cast<LONG>(position);
    IUnknown* item = nullptr;
    if (SUCCEEDED(::SafeArrayGetElement(array, &index, &item)) && item) {
        item->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(result.GetAddressOf()));
        item->Release();
    }
    ::SafeArrayDestroy(array);
    return result;
}

ComPtr<IMbnDeviceServicesContext> SimModemTest::Context(const std::wstring& interfaceId) {
    ComPtr<IMbnDeviceServicesContext> context;
    BSTR id = ::SysAllocString(interfaceId.c_str());
    m_services->GetDeviceServicesContext(id, context.GetAddressOf());
    ::SysFreeString(id);
    return context;
}

ComPtr<IMbnDeviceService> SimModemTest::Service(const wchar_t* serviceId, uint32_t position) {
    ComPtr<IMbnDeviceService> service;
    ComPtr<IMbnDeviceServicesContext> context = Context(m_sim.InterfaceId(position));
    if (!context) return service;
    BSTR id = ::SysAllocString(serviceId);
    context->GetDeviceService(id, service.GetAddressOf());
    ::SysFreeString(id);
    return service;
}

ComPtr<IMbnDeviceService> SimModemTest::OpenService(const wchar_t* serviceId, uint32_t position) {
    ComPtr<IMbnDeviceService> service = Service(serviceId, position);
    if (!service) return service;
    ULONG requestId = 0;
    SinkEvent opened;
    if (FAILED(service->OpenCommandSession(&requestId)) ||
        !m_sink->WaitForRequest(SinkEvent::SessionOpened, requestId, kWaitMs, &opened) || opened.status != S_OK)
        service.Reset();
    return service;
}

SinkEvent SimModemTest::Set(IMbnDeviceService* service, ULONG cid, const Bytes& payload) {
    SinkEvent done{SinkEvent::SetComplete};
    done.status = E_UNEXPECTED;
    SAFEARRAY* data = MakeArray(payload);
    ULONG requestId = 0;
    EXPECT_EQ(S_OK, service->SetCommand(cid, data, &requestId));
    ::SafeArrayDestroy(data);
    EXPECT_TRUE(m_sink->WaitForRequest(SinkEvent::SetComplete, requestId, kWaitMs, &done)) << "set " << cid;
    return done;
}

SinkEvent SimModemTest::Query(IMbnDeviceService* service, ULONG cid) {
    SinkEvent done{SinkEvent::QueryComplete};
    done.status = E_UNEXPECTED;
    SAFEARRAY* data = MakeArray({});
    ULONG requestId = 0;
    EXPECT_EQ(S_OK, service->QueryCommand(cid, data, &requestId));
    ::SafeArrayDestroy(data);
    EXPECT_TRUE(m_sink->WaitForRequest(SinkEvent::QueryComplete, requestId, kWaitMs, &done)) << "query " << cid;
    return done;
}

std::vector<SinkEvent> SimModemTest::Notifications(IMbnDeviceService* service) {
    std::vector<SinkEvent> found;
    for (const SinkEvent& e : m_sink->Events())
        if (e.kind == SinkEvent::Notification && e.object == service) found.push_back(e);
    return found;
}

}  // namespace simtest
