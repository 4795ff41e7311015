#include "CNuvikMbimServices.h"

#include "CByteSafeArray.h"
#include "CNuvikMbimManager.h"
#include "KessaTrace.h"
#include "Mbn.h"
#include "MbnEvent.h"
#include "Handles.h"
#include "SarCommands.h"
#include "SarDeviceContext.h"
#include "SarMessage.h"
#include "SarPacket.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <string>

namespace {
const HRESULT kStatusBusy = HRESULT_FROM_WIN32(ERROR_BUSY);  // 0x800700AA
const char kSarDiagServiceIdUpper[] = "{2D0C12C9-0E6A-495A-915C-8D174FE5D63C}";

// WideCharToMultiByte in the ANSI code page with as many bytes as wide characters.
bool WideToAnsi(const wchar_t* wide, std::string& narrow) {
    int chars = static_cast<int>(::SysStringLen(const_cast<BSTR>(wide)));
    narrow.assign(static_cast<size_t>(chars), '\0');
    if (chars == 0) return true;
    return ::WideCharToMultiByte(CP_ACP, 0, wide, chars, &narrow[0], chars, nullptr, nullptr) > 0;
}
}  // namespace

CNuvikMbimServices::CNuvikMbimServices(CNuvikMbimManager& manager) : m_manager(manager) {}

CNuvikMbimServices::~CNuvikMbimServices() {
    {
        std::lock_guard<std::mutex> guard(m_csQueue);
        m_bQueueRunning = false;
    }
    m_cvQueue.notify_all();
    if (m_worker.joinable()) m_worker.join();
}

SarDeviceContext* CNuvikMbimServices::OpenContext() {
    Context context = SarDeviceContext::Create();
    if (!context) return nullptr;
    std::lock_guard<std::mutex> guard(m_csList);
    m_contexts.push_back(context);
    return context.get();
}

bool CNuvikMbimServices::CloseContext(SarDeviceContext* handle) {
    Context closed;
    std::lock_guard<std::mutex> guard(m_csList);
    auto it = std::find_if(m_contexts.begin(), m_contexts.end(),
                           [handle](const Context& context) { return context.get() == handle; });
    if (it == m_contexts.end()) return false;
    closed = std::move(*it);
    m_contexts.erase(it);
    return true;
}

size_t CNuvikMbimServices::ContextCount() const {
    std::lock_guard<std::mutex> guard(m_csList);
    return m_contexts.size();
}

std::vector<CNuvikMbimServices::Context> CNuvikMbimServices::ListContexts() const {
    std::lock_guard<std::mutex> guard(m_csList);
    return m_contexts;
}

bool CNuvikMbimServices::Update(MbnSubject* subject, const MbnEvent& event) {
    try {
        if (event.dwSource == MbnEvent::kInterfaceManager) return OnInterfaceStateChange(event);
        if (event.dwSource != MbnEvent::kDeviceServices) return false;
        switch (event.dwType) {
            case MbnEvent::kSessionOpened:
                if (event.hrStatus != S_OK) return false;
                m_manager.OnCommandSessionOpened(event.pObject, event.dwRequestId);
                return true;
            case MbnEvent::kSetComplete:
                return OnSetComplete(event);
            case MbnEvent::kQueryComplete:
                return OnQueryComplete(event);
            case MbnEvent::kNotification:
                return OnEventNotification(event);
            default:
                return false;
        }
    } catch (const std::exception& e) {
        KessaPrint("CNuvikMbimServices::Update exception: %s\n", e.what());
        return false;
    }
}

bool CNuvikMbimServices::ApplyStatus(const MbnEvent& event, const std::vector<Context>& contexts) {
    if (event.hrStatus == kStatusBusy)
        for (const Context& context : contexts) context->m_iBusy = 1;
    return event.hrStatus == S_OK;
}

bool CNuvikMbimServices::OnSetComplete(const MbnEvent& event) {
    const std::vector<Context> contexts = ListContexts();
    if (!ApplyStatus(event, contexts)) return false;
    CByteSafeArray reply(event.pData);
    for (const Context& context : contexts) {
        if (event.dwCid == MBIM_CID_MS_SAR_CONFIG) {
            // One wake per element, whatever the request ids; a reply too short
            // to hold the element count wakes nobody.
            uint32_t count = 0;
            if (ReadSarConfigElementCount(reply.Data(), reply.Size(), count)) context->m_wakeSarSet.Signal(count);
        } else if (event.dwCid == CID_DEVICE_ROOT) {
            if (event.dwRequestId == context->m_dwRequestId2) context->m_wakeCommand.Signal();
        } else if (event.dwRequestId == context->m_dwRequestId1) {
            context->m_wakeCommand.Signal();
        }
    }
    return true;
}

bool CNuvikMbimServices::OnQueryComplete(const MbnEvent& event) {
    const std::vector<Context> contexts = ListContexts();
    if (!ApplyStatus(event, contexts)) return false;
    CByteSafeArray reply(event.pData);
    if (reply.Size() < 4) return false;
    for (const Context& context : contexts) {
        if (event.dwRequestId != context->m_dwRequestId1) continue;
        if (event.dwCid == MBIM_CID_MS_SAR_CONFIG) {
            // Replies too short for the element count or the first state's
            // back-off index store nothing and wake nobody: the query times out.
            uint32_t count = 0;
            int32_t index = -1;
            if (!ReadSarConfigElementCount(reply.Data(), reply.Size(), count) || count == 0 ||
                !ReadSarConfigBackoffIndex(reply.Data(), reply.Size(), index))
                continue;
            context->m_iSarBackoffIndex = index;
            context->m_wakeSarQuery.Signal(count);
        } else if (event.dwCid == CID_SAR_VERSION) {
            int32_t tableIndex = -1;
            uint16_t tableCrc = 0;
            if (!ReadSarVersionReply(reply.Data(), reply.Size(), tableIndex, tableCrc)) continue;
            context->m_iTableIndex = tableIndex;
            context->m_wTableCrc = tableCrc;
            context->m_wakeCommand.Signal();
        } else {
            uint32_t value = 0;
            if (!ReadSarQueryValue(reply.Data(), reply.Size(), value)) continue;
            context->m_dwLastQueryValue = value;
            KessaPrint("querydata: %d\n", static_cast<int>(value));
            context->m_wakeCommand.Signal();
        }
    }
    return true;
}

bool CNuvikMbimServices::OnEventNotification(const MbnEvent& event) {
    if (event.pObject == nullptr) return false;
    IMbnDeviceService* service = static_cast<IMbnDeviceService*>(event.pObject);
    CUniqueBstr id;
    if (FAILED(service->get_DeviceServiceID(id.Put())) || !id) return false;
    std::string narrow;
    if (!WideToAnsi(id.Get(), narrow)) {
        KessaPrint("convert false");
        return false;
    }
    std::transform(narrow.begin(), narrow.end(), narrow.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    if (narrow != kSarDiagServiceIdUpper) return false;

    CByteSafeArray data(event.pData);
    if (data.Size() <= 16) return false;
    for (const Context& context : ListContexts()) ParseSarValueResponse(context.get(), data.Data(), data.Size());
    return true;
}

bool CNuvikMbimServices::OnInterfaceStateChange(const MbnEvent& event) {
    if (event.dwRemoval == 0) {
        m_manager.OnInterfaceArrival();
        return true;
    }
    if (event.dwRemoval == 1) {
        m_manager.OnInterfaceRemoval();
        return true;
    }
    return false;
}

void CNuvikMbimServices::StartWorker() {
    bool expected = false;
    if (!m_bWorkerStarted.compare_exchange_strong(expected, true)) return;
    {
        std::lock_guard<std::mutex> guard(m_csQueue);
        m_bQueueRunning = true;
        m_tasks.clear();
    }
    try {
        m_worker = std::thread(&CNuvikMbimServices::WorkerLoop, this);
    } catch (const std::exception& e) {
        KessaPrint("CNuvikMbimServices::StartWorker exception: %s\n", e.what());
        m_bWorkerStarted = false;
    }
}

void CNuvikMbimServices::WorkerLoop() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> guard(m_csQueue);
            m_cvQueue.wait(guard, [this] { return !m_bQueueRunning || !m_tasks.empty(); });
            if (!m_bQueueRunning) break;
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        if (task && *task) (*task)();
    }
    m_bWorkerStarted = false;
}
