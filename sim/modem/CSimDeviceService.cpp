#include "CSimDeviceService.h"

#include "CSimDeviceServiceView.h"
#include "SimText.h"

using Microsoft::WRL::ComPtr;

CSimDeviceService::CSimDeviceService(SimRecordPtr record, std::wstring serviceId)
    : m_record(std::move(record)), m_serviceId(std::move(serviceId)), m_kind(SimServiceKindOf(m_serviceId)) {
    CSimModem& modem = CSimModem::Instance();
    modem.CountObject(SIMMODEM_OBJECT_DEVICE_SERVICE, 1);
    modem.TrackService(this, true);
}

CSimDeviceService::~CSimDeviceService() {
    CSimModem& modem = CSimModem::Instance();
    modem.TrackService(this, false);
    modem.CountObject(SIMMODEM_OBJECT_DEVICE_SERVICE, -1);
}

bool CSimDeviceService::SessionOpenLocked() const {
    return m_sessionOpen && m_sessionEpoch == m_record->epoch && m_record->present;
}

HRESULT CSimDeviceService::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IMbnDeviceService) return E_NOINTERFACE;
    *object = static_cast<IMbnDeviceService*>(this);
    AddRef();
    return S_OK;
}

HRESULT CSimDeviceService::QuerySupportedCommands(ULONG* requestId) {
    if (!requestId) return E_POINTER;
    *requestId = 0;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    if (!m_record->present) return kSimNotConnected;
    ULONG id = modem.NextRequestId();
    *requestId = id;
    ComPtr<CSimDeviceService> self(this);
    std::vector<uint32_t> cids = CSimFirmware::SupportedCommands(m_kind);
    modem.PostForEpoch(m_record, 0, [self, id, cids] {
        ComPtr<IMbnDeviceService> face = CSimDeviceServiceView::ForDelivery(self.Get());
        CSimModem::Instance().Deliver<IMbnDeviceServicesEvents>(
            SIMMODEM_SINK_DEVICE_SERVICES, [&](IMbnDeviceServicesEvents* s) {
                SAFEARRAY* list = ::SafeArrayCreateVector(VT_UI4, 0, static_cast<ULONG>(cids.size()));
                for (LONG i = 0; list && i < static_cast<LONG>(cids.size()); ++i) {
                    ULONG cid = cids[i];
                    ::SafeArrayPutElement(list, &i, &cid);
                }
                s->OnQuerySupportedCommandsComplete(face.Get(), list, S_OK, id);
                if (list) ::SafeArrayDestroy(list);
            });
    });
    return S_OK;
}

HRESULT CSimDeviceService::OpenCommandSession(ULONG* requestId) { return Session(true, requestId); }

HRESULT CSimDeviceService::CloseCommandSession(ULONG* requestId) { return Session(false, requestId); }

HRESULT CSimDeviceService::Session(bool open, ULONG* requestId) {
    if (!requestId) return E_POINTER;
    *requestId = 0;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    uint32_t method = open ? SIMMODEM_METHOD_OPEN_COMMAND_SESSION : SIMMODEM_METHOD_CLOSE_COMMAND_SESSION;
    if (modem.TakeMethodFault(method, m_record->index, m_serviceId, SIMMODEM_ANY, SIMMODEM_ANY, hr)) return hr;
    if (!m_record->present) return kSimNotConnected;
    if (!open && !SessionOpenLocked()) return kSimNoSession;
    ULONG id = modem.NextRequestId();
    *requestId = id;
    uint32_t op = open ? SIMMODEM_OP_OPEN_SESSION : SIMMODEM_OP_CLOSE_SESSION;
    modem.AppendLogLocked(*m_record, op, m_serviceId, 0, id, {});
    HRESULT status = S_OK;
    if (auto fault = modem.TakeCompletionFault(m_record->index, m_serviceId, op, 0)) {
        if (fault->kind == SIMMODEM_FAULT_NO_COMPLETION) return S_OK;
        status = fault->hr;
    }
    ComPtr<CSimDeviceService> self(this);
    uint32_t epoch = m_record->epoch;
    // The session opens or closes with its completion, also a delayed or held one.
    SimResponse response(1);
    response[0].task = [self, open, status, id, epoch] {
        CSimModem& m = CSimModem::Instance();
        {
            SimLock l = m.Lock();
            if (self->m_record->epoch != epoch) return;
            if (status == S_OK) {
                self->m_sessionOpen = open;
                self->m_sessionEpoch = epoch;
            }
            m.Changed();
        }
        ComPtr<IMbnDeviceService> face = CSimDeviceServiceView::ForDelivery(self.Get());
        m.Deliver<IMbnDeviceServicesEvents>(SIMMODEM_SINK_DEVICE_SERVICES, [&](IMbnDeviceServicesEvents* s) {
            if (open) s->OnOpenCommandSessionComplete(face.Get(), status, id);
            else s->OnCloseCommandSessionComplete(face.Get(), status, id);
        });
    };
    modem.RespondLocked(m_record, m_serviceId, op, 0, std::move(response));
    return S_OK;
}

HRESULT CSimDeviceService::SetCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) {
    return Command(true, commandId, data, requestId);
}

HRESULT CSimDeviceService::QueryCommand(ULONG commandId, SAFEARRAY* data, ULONG* requestId) {
    return Command(false, commandId, data, requestId);
}

HRESULT CSimDeviceService::Command(bool set, ULONG commandId, SAFEARRAY* data, ULONG* requestId) {
    if (!requestId) return E_POINTER;
    *requestId = 0;
    simcodec::Bytes payload;
    bool readable = simcom::ReadByteArray(data, payload);
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    uint32_t method = set ? SIMMODEM_METHOD_SET_COMMAND : SIMMODEM_METHOD_QUERY_COMMAND;
    if (modem.TakeMethodFault(method, m_record->index, m_serviceId, commandId, SIMMODEM_ANY, hr)) return hr;
    if (!readable) return E_INVALIDARG;
    if (!m_record->present) return kSimNotConnected;
    if (!SessionOpenLocked()) return kSimNoSession;
    if (payload.size() >= m_record->maxCommandSize) return E_INVALIDARG;  // "must be smaller than MaxCommandSize"
    ULONG id = modem.NextRequestId();
    *requestId = id;
    uint32_t op = set ? SIMMODEM_OP_SET : SIMMODEM_OP_QUERY;
    modem.AppendLogLocked(*m_record, op, m_serviceId, commandId, id, payload);

    SimCommandResult result;
    if (auto fault = modem.TakeCompletionFault(m_record->index, m_serviceId, op, commandId)) {
        if (fault->kind == SIMMODEM_FAULT_NO_COMPLETION) return S_OK;
        result.status = fault->hr;
    } else {
        result = CSimFirmware::Execute(m_record->store, m_kind, set, commandId, payload, modem.FrameSize());
        if (result.txNotify == 1) m_record->txService = this;
        else if (result.txNotify == 0) m_record->txService.Reset();
        if (auto reply = modem.TakeReplyFault(m_record->index, m_serviceId, op, commandId)) result.reply = *reply;
        modem.Changed();
    }

    uint32_t rearriveMs = 0;
    if (modem.TakeRemoveTrigger(m_record->index, m_serviceId, op, commandId, rearriveMs)) {
        modem.RemoveLocked(m_record);  // before the completion, which is lost with it
        if (rearriveMs) {
            SimRecordPtr record = m_record;
            uint32_t epoch = record->epoch;
            modem.Post(rearriveMs, [record, epoch] {
                CSimModem& m = CSimModem::Instance();
                SimLock l = m.Lock();
                if (record->epoch == epoch && !record->present) m.ArriveLocked(record);
            });
        }
        return S_OK;
    }
    Finish(set, commandId, id, result);
    return S_OK;
}

void CSimDeviceService::Finish(bool set, ULONG commandId, ULONG requestId, const SimCommandResult& result) {
    CSimModem& modem = CSimModem::Instance();
    ComPtr<CSimDeviceService> self(this);
    HRESULT status = result.status;
    simcodec::Bytes reply = result.reply;
    std::vector<StrayCompletion> strays = StrayCompletions(set, commandId, requestId);
    // Each step is a task of its own: a client that waits inside the completion
    // for the notification still gets it from a standby thread.
    SimResponse response;
    response.push_back({0, [self, set, commandId, requestId, status, reply, strays] {
        for (const StrayCompletion& stray : strays)
            DeliverCompletion(stray.service, set, commandId, stray.requestId, stray.status, {});
        DeliverCompletion(self, set, commandId, requestId, status, reply);
    }});
    for (const simcodec::Bytes& message : result.notifications) {
        ULONG eventId = result.notificationId;
        response.push_back({0, [self, eventId, message] {
            ComPtr<IMbnDeviceService> face = CSimDeviceServiceView::ForDelivery(self.Get());
            CSimModem::Instance().Deliver<IMbnDeviceServicesEvents>(
                SIMMODEM_SINK_DEVICE_SERVICES, [&](IMbnDeviceServicesEvents* s) {
                    SAFEARRAY* data = simcom::MakeByteArray(message);
                    s->OnEventNotification(face.Get(), eventId, data);
                    if (data) ::SafeArrayDestroy(data);
                });
        }});
    }
    if (result.reboot) {
        // The modem reboots after it has answered, however late the answer goes out.
        SimRecordPtr record = m_record;
        uint32_t epoch = record->epoch;
        simmodem::Settings settings = modem.CurrentSettings();
        uint32_t arriveMs = settings.rebootArriveDelayMs;
        response.push_back({settings.rebootRemoveDelayMs, [record, epoch, arriveMs] {
            CSimModem& m = CSimModem::Instance();
            SimLock l = m.Lock();
            if (record->epoch != epoch || !record->present) return;
            m.RemoveLocked(record);
            uint32_t gone = record->epoch;
            m.Post(arriveMs, [record, gone] {
                CSimModem& m2 = CSimModem::Instance();
                SimLock l2 = m2.Lock();
                if (record->epoch == gone && !record->present) m2.ArriveLocked(record);
            });
        }});
    }
    const uint32_t op = set ? SIMMODEM_OP_SET : SIMMODEM_OP_QUERY;
    modem.RespondLocked(m_record, m_serviceId, op, commandId, std::move(response));
}

void CSimDeviceService::DeliverCompletion(const ComPtr<CSimDeviceService>& service, bool set, ULONG commandId,
                                          ULONG requestId, HRESULT status, const simcodec::Bytes& reply) {
    ComPtr<IMbnDeviceService> face = CSimDeviceServiceView::ForDelivery(service.Get());
    CSimModem::Instance().Deliver<IMbnDeviceServicesEvents>(
        SIMMODEM_SINK_DEVICE_SERVICES, [&](IMbnDeviceServicesEvents* s) {
            SAFEARRAY* data = simcom::MakeByteArray(reply);  // each sink gets its own copy
            if (set) s->OnSetCommandComplete(face.Get(), commandId, data, status, requestId);
            else s->OnQueryCommandComplete(face.Get(), commandId, data, status, requestId);
            if (data) ::SafeArrayDestroy(data);
        });
}

std::vector<CSimDeviceService::StrayCompletion> CSimDeviceService::StrayCompletions(bool set, ULONG commandId,
                                                                                   ULONG requestId) {
    CSimModem& modem = CSimModem::Instance();
    std::vector<StrayCompletion> strays;
    const uint32_t op = set ? SIMMODEM_OP_SET : SIMMODEM_OP_QUERY;
    for (const simmodem::FaultSpec& fault : modem.TakeStrayFaults(m_record->index, m_serviceId, op, commandId)) {
        StrayCompletion stray;
        stray.status = fault.hr;
        stray.requestId = requestId;
        if (fault.kind == SIMMODEM_FAULT_STRAY_REQUEST) {
            stray.service = this;
            stray.requestId = modem.NextRequestId();  // one that no request has
        } else if (fault.kind == SIMMODEM_FAULT_STRAY_SERVICE) {
            std::wstring other = SIMMODEM_SERVICE_AUX;
            for (const std::wstring& listed : m_record->services)
                if (!simtext::EqualsNoCase(listed, m_serviceId)) {
                    other = listed;
                    break;
                }
            stray.service = simcom::Adopt<CSimDeviceService>(new CSimDeviceService(m_record, other));
        } else {
            for (const SimRecordPtr& record : modem.PresentRecordsLocked())
                if (record != m_record) {
                    stray.service = simcom::Adopt<CSimDeviceService>(new CSimDeviceService(record, m_serviceId));
                    break;
                }
            if (!stray.service) continue;  // no other interface: nothing to send
        }
        strays.push_back(stray);
    }
    return strays;
}

HRESULT CSimDeviceService::OpenDataSession(ULONG* requestId) {
    if (requestId) *requestId = 0;
    return kSimNotSupported;
}

HRESULT CSimDeviceService::CloseDataSession(ULONG* requestId) {
    if (requestId) *requestId = 0;
    return kSimNotSupported;
}

HRESULT CSimDeviceService::WriteData(SAFEARRAY*, ULONG* requestId) {
    if (requestId) *requestId = 0;
    return kSimNotSupported;
}

HRESULT CSimDeviceService::get_InterfaceID(BSTR* interfaceId) {
    if (!interfaceId) return E_POINTER;
    *interfaceId = nullptr;
    SimLock lock = CSimModem::Instance().Lock();
    return simcom::CopyBstr(m_record->id, interfaceId);
}

HRESULT CSimDeviceService::get_DeviceServiceID(BSTR* serviceId) {
    if (!serviceId) return E_POINTER;
    *serviceId = nullptr;
    CSimModem& modem = CSimModem::Instance();
    SimLock lock = modem.Lock();
    HRESULT hr = S_OK;
    if (modem.TakeMethodFault(SIMMODEM_METHOD_GET_DEVICE_SERVICE_ID, m_record->index, m_serviceId, SIMMODEM_ANY,
                              SIMMODEM_ANY, hr))
        return hr;
    return simcom::CopyBstr(m_serviceId, serviceId);
}

HRESULT CSimDeviceService::get_IsCommandSessionOpen(BOOL* open) {
    if (!open) return E_POINTER;
    SimLock lock = CSimModem::Instance().Lock();
    *open = SessionOpenLocked() ? TRUE : FALSE;
    return S_OK;
}

HRESULT CSimDeviceService::get_IsDataSessionOpen(BOOL* open) {
    if (!open) return E_POINTER;
    *open = FALSE;
    return S_OK;
}
