// Throughput of Kessa.dll over the simulated modem, in one run: a SAR image
// written and read back, next to the simulator's own command rate (set
// commands and their completions without the library) and the library's
// SetSarEnable round trips. Medians of several runs; not a test.
//
//   kessa_bench.exe [--runs N] [--rounds N] [--size BYTES] [--delay MS] [--frame BYTES]
#include "CSimModemControl.h"
#include "Handles.h"
#include "Kessa.h"
#include "Mbn.h"
#include "TestSupport.h"

#include <windows.h>
#include <objbase.h>

#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {
struct Options {
    int runs = 7;
    int rounds = 500;
    uint32_t size = 64 * 1024;
    uint32_t delayMs = 1;  // the simulator's default completion delay
    uint32_t frameSize = 500;
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const long value = std::strtol(argv[++i], nullptr, 10);
        if (value < 0) return false;
        if (arg == "--runs") options.runs = static_cast<int>(value);
        else if (arg == "--rounds") options.rounds = static_cast<int>(value);
        else if (arg == "--size") options.size = static_cast<uint32_t>(value);
        else if (arg == "--delay") options.delayMs = static_cast<uint32_t>(value);
        else if (arg == "--frame") options.frameSize = static_cast<uint32_t>(value);
        else return false;
    }
    return options.runs > 0 && options.rounds > 0 && options.size <= 0x7FFFFFFF;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Counts the set completions of one device service.
class CCompletionCounter : public IMbnDeviceServicesEvents {
public:
    explicit CCompletionCounter(IMbnDeviceService* service) : m_pService(service) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IMbnDeviceServicesEvents) return E_NOINTERFACE;
        *object = static_cast<IMbnDeviceServicesEvents*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_lRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_lRefs; }  // lives on the stack of its owner

    HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* service, ULONG, SAFEARRAY*, HRESULT status,
                                                   ULONG) override {
        if (service != m_pService) return S_OK;
        {
            std::lock_guard<std::mutex> guard(m_cs);
            ++m_qwCompleted;
            if (FAILED(status)) ++m_qwFailed;
        }
        m_cv.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* service, HRESULT status,
                                                           ULONG) override {
        if (service != m_pService) return S_OK;
        {
            std::lock_guard<std::mutex> guard(m_cs);
            m_bOpened = SUCCEEDED(status);
        }
        m_cv.notify_all();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService*, SAFEARRAY*, HRESULT,
                                                               ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService*, ULONG, SAFEARRAY*, HRESULT, ULONG) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService*, ULONG, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService*, HRESULT, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService*, SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR, MBN_DEVICE_SERVICES_INTERFACE_STATE) override {
        return S_OK;
    }

    bool WaitOpened() {
        std::unique_lock<std::mutex> guard(m_cs);
        return m_cv.wait_for(guard, std::chrono::seconds(5), [&] { return m_bOpened; });
    }
    bool WaitCompleted(uint64_t count) {
        std::unique_lock<std::mutex> guard(m_cs);
        return m_cv.wait_for(guard, std::chrono::seconds(5), [&] { return m_qwCompleted >= count; });
    }
    uint64_t Failed() {
        std::lock_guard<std::mutex> guard(m_cs);
        return m_qwFailed;
    }

private:
    IMbnDeviceService* m_pService;
    std::atomic<ULONG> m_lRefs{1};
    std::mutex m_cs;
    std::condition_variable m_cv;
    uint64_t m_qwCompleted = 0;
    uint64_t m_qwFailed = 0;
    bool m_bOpened = false;
};

SAFEARRAY* ByteArray(const uint8_t* bytes, ULONG length) {
    SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, length);
    void* data = nullptr;
    if (array && length && SUCCEEDED(::SafeArrayAccessData(array, &data))) {
        std::memcpy(data, bytes, length);
        ::SafeArrayUnaccessData(array);
    }
    return array;
}

// SetCommand round trips on the diag service straight through the simulator: per second, one figure per run.
bool RawCommandRate(CSimModemControl& sim, const std::wstring& interfaceId, const Options& options,
                    std::vector<double>& rates) {
    ComPtr<IMbnDeviceServicesManager> manager;
    if (FAILED(::CoCreateInstance(CLSID_MbnDeviceServicesManager, nullptr, CLSCTX_ALL, IID_IMbnDeviceServicesManager,
                                  reinterpret_cast<void**>(manager.GetAddressOf()))))
        return false;
    CUniqueBstr id(interfaceId.c_str());
    ComPtr<IMbnDeviceServicesContext> context;
    CUniqueBstr diagId(SIMMODEM_SERVICE_DIAG);
    ComPtr<IMbnDeviceService> diag;
    if (FAILED(manager->GetDeviceServicesContext(id.Get(), context.GetAddressOf())) ||
        FAILED(context->GetDeviceService(diagId.Get(), diag.GetAddressOf())))
        return false;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (FAILED(manager.As(&container)) ||
        FAILED(container->FindConnectionPoint(IID_IMbnDeviceServicesEvents, point.GetAddressOf())))
        return false;
    CCompletionCounter counter(diag.Get());
    DWORD cookie = 0;
    if (FAILED(point->Advise(static_cast<IMbnDeviceServicesEvents*>(&counter), &cookie))) return false;
    ULONG requestId = 0;
    bool ok = SUCCEEDED(diag->OpenCommandSession(&requestId)) && counter.WaitOpened();
    const uint8_t enable[2] = {0x00, 0x11};
    uint64_t sent = 0;
    for (int run = 0; ok && run < options.runs; ++run) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; ok && i < options.rounds; ++i) {
            CUniqueSafeArray array(ByteArray(enable, sizeof(enable)));
            ok = SUCCEEDED(diag->SetCommand(3, array.Get(), &requestId)) && counter.WaitCompleted(++sent);
        }
        if (ok) rates.push_back(options.rounds / Seconds(start));
    }
    ok = ok && counter.Failed() == 0;
    diag->CloseCommandSession(&requestId);
    point->Unadvise(cookie);
    sim.WaitIdle();  // nothing is delivered to the counter once it goes
    return ok;
}

struct Kessa {
    PFN_Kessa_Init Init;
    PFN_Kessa_UnInit UnInit;
    PFN_Kessa_OpenDeviceServices Open;
    PFN_Kessa_CloseDeviceServices Close;
    PFN_Kessa_SetSarEnable SetSarEnable;
    PFN_Kessa_SetSarValue SetSarValue;
    PFN_Kessa_GetSarValue GetSarValue;
};

template <typename T>
T Bind(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

void Report(const char* what, const std::vector<double>& values, const char* unit) {
    std::printf("%-44s %12.0f %s  (median of %zu; min %.0f, max %.0f)\n", what, Median(values), unit, values.size(),
                *std::min_element(values.begin(), values.end()), *std::max_element(values.begin(), values.end()));
}
}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: kessa_bench [--runs N] [--rounds N] [--size BYTES] [--delay MS] [--frame BYTES]\n");
        return 2;
    }
    if (!CSimModemControl::Register()) {
        std::fprintf(stderr, "cannot register the simulated modem\n");
        return 1;
    }
    CSimModemControl sim;
    simmodem::StartState state;
    state.settings.completionDelayMs = options.delayMs;
    state.settings.frameSize = options.frameSize;
    if (!sim.Load() || !sim.Reset(state)) {
        std::fprintf(stderr, "cannot load the simulated modem\n");
        return 1;
    }
    const std::wstring interfaceId = sim.InterfaceId(0);

    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::vector<double> raw;
    if (!RawCommandRate(sim, interfaceId, options, raw)) {
        std::fprintf(stderr, "raw set commands through the simulator failed\n");
        return 1;
    }

    ::AddDllDirectory(testsupport::ProductDirW().c_str());
    HMODULE module = ::LoadLibraryExA("Kessa.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (!module) {
        std::fprintf(stderr, "Kessa.dll did not load: %lu\n", ::GetLastError());
        return 1;
    }
    const Kessa k = {Bind<PFN_Kessa_Init>(module, "Kessa_Init"),
                     Bind<PFN_Kessa_UnInit>(module, "Kessa_UnInit"),
                     Bind<PFN_Kessa_OpenDeviceServices>(module, "Kessa_OpenDeviceServices"),
                     Bind<PFN_Kessa_CloseDeviceServices>(module, "Kessa_CloseDeviceServices"),
                     Bind<PFN_Kessa_SetSarEnable>(module, "Kessa_SetSarEnable"),
                     Bind<PFN_Kessa_SetSarValue>(module, "Kessa_SetSarValue"),
                     Bind<PFN_Kessa_GetSarValue>(module, "Kessa_GetSarValue")};
    const std::string narrowId(interfaceId.begin(), interfaceId.end());
    if (!k.Init || k.Init(narrowId.c_str()) != KESSA_OK) {
        std::fprintf(stderr, "Kessa_Init failed\n");
        return 1;
    }
    SarDeviceContext* context = k.Open();
    if (!context) {
        std::fprintf(stderr, "Kessa_OpenDeviceServices failed\n");
        return 1;
    }

    std::vector<double> enables, writes, reads;
    std::vector<uint8_t> image(options.size);
    uint32_t x = 12345;
    for (uint8_t& b : image) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    int failures = 0;
    for (int run = 0; run < options.runs; ++run) {
        Clock::time_point start = Clock::now();
        for (int i = 0; i < options.rounds; ++i)
            if (k.SetSarEnable(context, static_cast<uint8_t>(i & 1)) != KESSA_OK) ++failures;
        enables.push_back(options.rounds / Seconds(start));

        start = Clock::now();
        if (k.SetSarValue(context, image.data(), static_cast<int32_t>(image.size())) != KESSA_OK) ++failures;
        writes.push_back(image.size() / Seconds(start));

        start = Clock::now();
        uint8_t* data = nullptr;
        int32_t length = 0;
        if (k.GetSarValue(context, &data, &length) != KESSA_OK || length != static_cast<int32_t>(image.size()) ||
            std::memcmp(data, image.data(), image.size()) != 0)
            ++failures;
        reads.push_back(image.size() / Seconds(start));
    }
    k.Close(context);
    k.UnInit();

    const uint32_t packets = options.size <= 500 ? 1 : (options.size + 499) / 500;
    const uint32_t frames = std::max<uint32_t>(1, (options.size + options.frameSize - 1) / options.frameSize);
    std::printf("Kessa.dll over the simulated modem: completion delay %u ms, image %u bytes (%u packets written, "
                "%u frames of %u bytes read), %d runs\n",
                options.delayMs, options.size, packets, frames, options.frameSize, options.runs);
    Report("simulator: raw SetCommand/completion", raw, "round trips/s");
    Report("Kessa_SetSarEnable", enables, "round trips/s");
    Report("Kessa_SetSarValue (write)", writes, "bytes/s");
    Report("Kessa_GetSarValue (read back, byte-exact)", reads, "bytes/s");
    const double rawPerSecond = Median(raw);
    std::printf("per packet: write %.2f ms, read %.2f ms, raw round trip %.2f ms\n",
                1000.0 * options.size / Median(writes) / packets, 1000.0 * options.size / Median(reads) / frames,
                1000.0 / rawPerSecond);
    if (failures) std::printf("FAILED: %d calls did not succeed or read back different bytes\n", failures);
    ::CoUninitialize();
    return failures ? 1 : 0;
}
