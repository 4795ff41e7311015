#include "CSimFirmware.h"

#include <algorithm>
#include <cwctype>

namespace {
constexpr uint32_t kCidSarConfig = 1;
constexpr uint32_t kCidTransmission = 2;
constexpr uint32_t kCidSarValue = 2;
constexpr uint32_t kCidSarEnable = 3;
constexpr uint32_t kCidSarVersion = 4;
constexpr uint32_t kCidDeviceRoot = 5;

bool SameId(const std::wstring& a, const wchar_t* b) {
    size_t n = wcslen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

SimCommandResult Status(HRESULT status) {
    SimCommandResult r;
    r.status = status;
    return r;
}
}  // namespace

SimServiceKind SimServiceKindOf(const std::wstring& id) {
    if (SameId(id, L"{68223D04-9F6C-4E0F-822D-28441FB72340}")) return SimServiceKind::MsSar;
    if (SameId(id, L"{2D0C12C9-0E6A-495A-915C-8D174FE5D63C}")) return SimServiceKind::Diag;
    if (SameId(id, L"{11223344-5566-7788-99AA-BBCCDDEEFF11}")) return SimServiceKind::Aux;
    if (SameId(id, L"{D1A30BC2-F97A-6E43-BF65-C7E24FB0F0D3}")) return SimServiceKind::Qmux;
    return SimServiceKind::Other;
}

SimModemStore::SimModemStore() { sarConfig.states.push_back(simcodec::SarState()); }

void SimModemStore::OnReboot() {
    readCursor = 0;
    txEnable = 0;
    txHysteresis = 0;
}

SimCommandResult CSimFirmware::Execute(SimModemStore& store, SimServiceKind kind, bool set, uint32_t cid,
                                       const simcodec::Bytes& payload, uint32_t frameSize) {
    switch (kind) {
        case SimServiceKind::MsSar: return MsSar(store, set, cid, payload);
        case SimServiceKind::Diag: return Diag(store, set, cid, payload, frameSize);
        default: return Status(kStatusNotSupported);
    }
}

std::vector<uint32_t> CSimFirmware::SupportedCommands(SimServiceKind kind) {
    switch (kind) {
        case SimServiceKind::MsSar: return {kCidSarConfig, kCidTransmission};
        case SimServiceKind::Diag: return {kCidSarValue, kCidSarEnable, kCidSarVersion, kCidDeviceRoot};
        default: return {};
    }
}

simcodec::Bytes CSimFirmware::TransmissionNotification(const SimModemStore& store) {
    return simcodec::BuildTransmissionStatus(store.txEnable, store.transmitting, store.txHysteresis);
}

SimCommandResult CSimFirmware::MsSar(SimModemStore& store, bool set, uint32_t cid, const simcodec::Bytes& payload) {
    SimCommandResult r;
    if (cid == kCidSarConfig) {
        if (set) {
            simcodec::SarConfig config;
            if (!simcodec::ParseSarConfigPayload(payload, config)) return Status(kStatusInvalid);
            config.wifiIntegration = store.sarConfig.wifiIntegration;
            store.sarConfig = config;
        }
        r.reply = simcodec::BuildSarConfigReply(store.sarConfig);
        return r;
    }
    if (cid == kCidTransmission) {
        if (set) {
            uint32_t enable = 0, hysteresis = 0;
            if (!simcodec::ParseTransmissionSet(payload, enable, hysteresis)) return Status(kStatusInvalid);
            store.txEnable = enable;
            store.txHysteresis = hysteresis;
            r.txNotify = static_cast<int>(enable);
        }
        r.reply = TransmissionNotification(store);
        return r;
    }
    return Status(kStatusNotSupported);
}

SimCommandResult CSimFirmware::Diag(SimModemStore& store, bool set, uint32_t cid, const simcodec::Bytes& payload,
                                    uint32_t frameSize) {
    SimCommandResult r;
    switch (cid) {
        case kCidSarValue:
            if (!set) return Status(kStatusNotSupported);
            SarData(store, payload, frameSize, r);
            return r;
        case kCidSarEnable:
            if (set) {
                bool enable = false;
                if (!simcodec::ParseEnableSet(payload, enable)) return Status(kStatusInvalid);
                store.sarEnable = enable ? 1 : 0;
            } else {
                simcodec::PutU32(r.reply, store.sarEnable);
            }
            return r;
        case kCidSarVersion:
            if (set) {
                if (!simcodec::ParseVersionSet(payload, store.tableIndex, store.tableCrc)) return Status(kStatusInvalid);
            } else {
                r.reply = simcodec::BuildVersionReply(store.tableIndex, store.tableCrc);
            }
            return r;
        case kCidDeviceRoot:
            if (!set) return Status(kStatusNotSupported);
            if (!simcodec::IsDeviceRootSet(payload)) return Status(kStatusInvalid);
            r.reboot = true;
            return r;
        default: return Status(kStatusNotSupported);
    }
}

// SAR data rides on set commands; the modem answers with event notifications,
// and stays silent about a packet it cannot use, as the real one does.
void CSimFirmware::SarData(SimModemStore& store, const simcodec::Bytes& payload, uint32_t frameSize,
                           SimCommandResult& r) {
    r.notificationId = kCidSarValue;
    uint16_t kind = simcodec::PacketKind(payload);
    if (kind == simcodec::kPacketWrite) {
        simcodec::WritePacket packet;
        if (simcodec::ParseWritePacket(payload, packet) != simcodec::PacketCheck::Ok) return;
        if (!packet.append) store.image.clear();
        if (store.image.size() + packet.data.size() > kMaxImage) return;
        store.image.insert(store.image.end(), packet.data.begin(), packet.data.end());
        r.notifications.push_back(simcodec::BuildWriteAck(static_cast<uint16_t>(packet.data.size())));
    } else if (kind == simcodec::kPacketRead) {
        uint16_t received = 0;
        if (simcodec::ParseReadRequest(payload, received) != simcodec::PacketCheck::Ok) return;
        // The host sends only the low 16 bits of its count: continue where the
        // last frame ended when they agree, else take them within that 64 KiB window.
        uint32_t position;
        if (received == 0) position = 0;
        else if ((store.readCursor & 0xFFFF) == received) position = store.readCursor;
        else position = (store.readCursor & ~0xFFFFu) | received;
        uint32_t size = static_cast<uint32_t>(store.image.size());
        position = std::min(position, size);
        uint32_t frame = std::min<uint32_t>(std::max<uint32_t>(frameSize, 1), 0xFFFF);
        uint32_t count = std::min(frame, size - position);
        r.notifications.push_back(simcodec::BuildDataFrame(store.image.data() + position,
                                                           static_cast<uint16_t>(count),
                                                           static_cast<int32_t>(size - position - count)));
        store.readCursor = position + count;
    }
}
