// A separate process with the simulator inside, for the cross-process test:
// it activates the modem (which then reads its start state from the
// registry), checks the model it was told to expect, waits for the parent to
// switch the hardware radio off, then enables SAR on the diag service (the
// parent holds that completion a while), reads the flag back, says so through
// the event kQueryReadEvent and waits for the parent to remove the interface
// (a removal loses the completions still on their way). The exit code names
// the step that failed (0: none).
#include "SimModemControl.h"
#include "SimModemTestUtil.h"

#include <ocidl.h>
#include <string>

using namespace simtest;

namespace {
// Made by the parent; set once the flag has been read back.
const wchar_t kQueryReadEvent[] = L"TarvoSimModemChild.QueryRead";
enum Step { kOk = 0, kCreate = 10, kInterfaces, kModel, kAdvise, kRadioChange, kRadioOff, kSession, kSet, kQuery, kRemoval };

int Run(const std::wstring& expectedModel) {
    ComPtr<IMbnInterfaceManager> manager;
    ComPtr<IMbnDeviceServicesManager> services;
    if (FAILED(::CoCreateInstance(CLSID_MbnInterfaceManager, nullptr, CLSCTX_ALL, IID_IMbnInterfaceManager,
                                  reinterpret_cast<void**>(manager.GetAddressOf()))) ||
        FAILED(::CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL, IID_IMbnDeviceServicesManager,
                                  reinterpret_cast<void**>(services.GetAddressOf()))))
        return kCreate;

    SAFEARRAY* array = nullptr;
    if (FAILED(manager->GetInterfaces(&array)) || !array) return kInterfaces;
    LONG upper = -1, first = 0;
    ::SafeArrayGetUBound(array, 1, &upper);
    IUnknown* item = nullptr;
    if (upper != 0 || FAILED(::SafeArrayGetElement(array, &first, &item))) return kInterfaces;
    ::SafeArrayDestroy(array);
    ComPtr<IMbnInterface> itf;
    item->QueryInterface(IID_IMbnInterface, reinterpret_cast<void**>(itf.GetAddressOf()));
    item->Release();
    MBN_INTERFACE_CAPS caps = {};
    if (!itf || FAILED(itf->GetInterfaceCapability(&caps))) return kModel;
    bool modelOk = caps.model && expectedModel == caps.model;
    for (BSTR b : {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer, caps.model,
                   caps.firmwareInfo})
        ::SysFreeString(b);
    if (!modelOk) return kModel;

    ComPtr<CTestSink> sink;
    sink.Attach(new CTestSink());
    ComPtr<IConnectionPoint> radioPoint, servicesPoint, managerPoint;
    DWORD radioCookie = 0, servicesCookie = 0, managerCookie = 0;
    if (FAILED(Advise(manager.Get(), IID_IMbnInterfaceManagerEvents, static_cast<IMbnRadioEvents*>(sink.Get()),
                      managerPoint, managerCookie)) ||
        FAILED(Advise(manager.Get(), IID_IMbnRadioEvents, static_cast<IMbnRadioEvents*>(sink.Get()), radioPoint,
                      radioCookie)) ||
        FAILED(Advise(services.Get(), IID_IMbnDeviceServicesEvents, static_cast<IMbnRadioEvents*>(sink.Get()),
                      servicesPoint, servicesCookie)))
        return kAdvise;

    // The parent sends the change once it sees this sink advised.
    if (!sink->WaitForKind(SinkEvent::RadioChange, 15000)) return kRadioChange;
    ComPtr<IMbnRadio> radio;
    MBN_RADIO hardware = MBN_RADIO_ON;
    if (FAILED(itf.As(&radio)) || FAILED(radio->get_HardwareRadioState(&hardware)) || hardware != MBN_RADIO_OFF)
        return kRadioOff;

    BSTR id = nullptr;
    itf->get_InterfaceID(&id);
    ComPtr<IMbnDeviceServicesContext> context;
    services->GetDeviceServicesContext(id, context.GetAddressOf());
    ::SysFreeString(id);
    BSTR diagId = ::SysAllocString(SIMMODEM_SERVICE_DIAG);
    ComPtr<IMbnDeviceService> diag;
    if (context) context->GetDeviceService(diagId, diag.GetAddressOf());
    ::SysFreeString(diagId);
    ULONG request = 0;
    SinkEvent done;
    if (!diag || FAILED(diag->OpenCommandSession(&request)) ||
        !sink->WaitForRequest(SinkEvent::SessionOpened, request, 5000, &done) || done.status != S_OK)
        return kSession;

    SAFEARRAY* enable = MakeArray({0x00, 0x11});
    HRESULT hr = diag->SetCommand(3, enable, &request);
    ::SafeArrayDestroy(enable);
    // The parent holds this completion until it has seen it held.
    if (FAILED(hr) || !sink->WaitForRequest(SinkEvent::SetComplete, request, 15000, &done) || done.status != S_OK)
        return kSet;
    if (FAILED(diag->QueryCommand(3, nullptr, &request)) ||
        !sink->WaitForRequest(SinkEvent::QueryComplete, request, 5000, &done) || done.data != Bytes{1, 0, 0, 0})
        return kQuery;
    if (HANDLE read = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kQueryReadEvent)) {
        ::SetEvent(read);
        ::CloseHandle(read);
    }
    if (!sink->WaitForKind(SinkEvent::Removal, 15000)) return kRemoval;

    managerPoint->Unadvise(managerCookie);
    radioPoint->Unadvise(radioCookie);
    servicesPoint->Unadvise(servicesCookie);
    return kOk;
}
}  // namespace

int main(int argc, char** argv) {
    std::string model = argc > 1 ? argv[1] : "";
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int result = Run(std::wstring(model.begin(), model.end()));
    ::CoUninitialize();
    return result;
}
