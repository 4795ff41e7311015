#include "SimRegistryLayout.h"

#include "Handles.h"
#include "SimText.h"

namespace simreg {

namespace {

class CKeyWriter {
public:
    explicit CKeyWriter(const std::wstring& path) {
        m_ok = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_key.Put(),
                                 nullptr) == ERROR_SUCCESS;
    }
    bool Ok() const { return m_ok; }
    void Dword(const wchar_t* name, uint32_t value) {
        DWORD v = value;
        Put(name, REG_DWORD, &v, sizeof(v));
    }
    void Text(const wchar_t* name, const std::wstring& value) {
        Put(name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    void MultiText(const wchar_t* name, const std::vector<std::wstring>& values) {
        std::wstring data;
        for (const auto& v : values) data += v + L'\0';
        data += L'\0';
        Put(name, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(wchar_t)));
    }
    void Binary(const wchar_t* name, const simmodem::Bytes& value) {
        Put(name, REG_BINARY, value.data(), static_cast<DWORD>(value.size()));
    }

private:
    void Put(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        if (m_ok && ::RegSetValueExW(m_key.Get(), name, 0, type, static_cast<const BYTE*>(data), size) != ERROR_SUCCESS)
            m_ok = false;
    }
    CUniqueHKey m_key;
    bool m_ok = false;
};

class CKeyReader {
public:
    explicit CKeyReader(const std::wstring& path) {
        m_ok = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, m_key.Put()) == ERROR_SUCCESS;
    }
    bool Ok() const { return m_ok; }
    void Dword(const wchar_t* name, uint32_t& value) const {
        DWORD v = 0, size = sizeof(v);
        if (m_ok && ::RegGetValueW(m_key.Get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &v, &size) == ERROR_SUCCESS)
            value = v;
    }
    void Text(const wchar_t* name, std::wstring& value) const {
        std::vector<uint8_t> raw;
        if (!Raw(name, RRF_RT_REG_SZ, raw)) return;
        value = ToText(raw);
    }
    // Absent: untouched; present: the list (possibly empty).
    void MultiText(const wchar_t* name, std::vector<std::wstring>& values) const {
        std::vector<uint8_t> raw;
        if (!Raw(name, RRF_RT_REG_MULTI_SZ, raw)) return;
        std::wstring all = ToText(raw, true);
        values.clear();
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find(L'\0', start);
            if (end == std::wstring::npos) end = all.size();
            if (end > start) values.push_back(all.substr(start, end - start));
            start = end + 1;
        }
    }
    void Binary(const wchar_t* name, simmodem::Bytes& value) const {
        std::vector<uint8_t> raw;
        if (Raw(name, RRF_RT_REG_BINARY, raw)) value = raw;
    }

private:
    bool Raw(const wchar_t* name, DWORD flags, std::vector<uint8_t>& raw) const {
        if (!m_ok) return false;
        DWORD size = 0;
        if (::RegGetValueW(m_key.Get(), nullptr, name, flags | RRF_NOEXPAND, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return false;
        raw.assign(size, 0);
        if (size == 0) return true;
        if (::RegGetValueW(m_key.Get(), nullptr, name, flags | RRF_NOEXPAND, nullptr, raw.data(), &size) !=
            ERROR_SUCCESS)
            return false;
        raw.resize(size);
        return true;
    }
    static std::wstring ToText(const std::vector<uint8_t>& raw, bool keepNuls = false) {
        std::wstring text(raw.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) memcpy(&text[0], raw.data(), text.size() * sizeof(wchar_t));
        if (!keepNuls) {
            size_t nul = text.find(L'\0');
            if (nul != std::wstring::npos) text.resize(nul);
        }
        return text;
    }
    CUniqueHKey m_key;
    bool m_ok = false;
};

std::wstring Sub(const wchar_t* key, const wchar_t* prefix, size_t i) {
    return std::wstring(key) + L"\\" + prefix + std::to_wstring(i);
}

bool DeleteKey(const wchar_t* path) {
    LONG rc = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return false;
    rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

// The start state's values, named once for the writer and the reader (a key
// io of either kind; the spec const for the writer). A value the reader does
// not find keeps the field's default.
template <typename TKeyIo, typename TSettings>
void SettingsFields(TKeyIo& io, TSettings& s) {
    io.Dword(L"DelayMs", s.completionDelayMs);
    io.Dword(L"RebootRemoveMs", s.rebootRemoveDelayMs);
    io.Dword(L"RebootArriveMs", s.rebootArriveDelayMs);
    io.Dword(L"FrameSize", s.frameSize);
    io.Dword(L"HandOverMs", s.handOverMs);
    io.Dword(L"Delivery", s.delivery);
}

template <typename TKeyIo, typename TInterface>
void InterfaceFields(TKeyIo& io, TInterface& itf) {
    io.Text(L"Model", itf.model);
    io.Text(L"Manufacturer", itf.manufacturer);
    io.Text(L"Firmware", itf.firmware);
    io.Text(L"DeviceId", itf.deviceId);
    io.Dword(L"HardwareRadio", itf.hardwareRadio);
    io.Dword(L"SoftwareRadio", itf.softwareRadio);
    io.Dword(L"RegisterState", itf.registerState);
    io.Text(L"ProviderId", itf.providerId);
    io.Text(L"ProviderName", itf.providerName);
    io.MultiText(L"Services", itf.services);
    io.Dword(L"MaxCommandSize", itf.maxCommandSize);
    io.Dword(L"MaxDataSize", itf.maxDataSize);
    io.Binary(L"SarImage", itf.sarImage);
    io.Dword(L"TableIndex", itf.tableIndex);
    io.Dword(L"TableCrc", itf.tableCrc);
    io.Dword(L"SarEnable", itf.sarEnable);
}

const wchar_t* const kClassIds[] = {L"{BDFEE05B-4418-11DD-90ED-001C257CCFF1}",   // MbnInterfaceManager
                                    L"{2269DAA3-2A9F-4165-A501-CE00A6F7A75B}"};  // MbnDeviceServicesManager

}  // namespace

bool RegisterServer(const std::wstring& dllPath) {
    bool ok = true;
    for (const wchar_t* clsid : kClassIds) {
        CKeyWriter server(std::wstring(kClassesKey) + clsid + L"\\InprocServer32");
        server.Text(nullptr, dllPath);
        server.Text(L"ThreadingModel", L"Both");
        ok = ok && server.Ok();
    }
    return ok;
}

bool UnregisterServer() {
    bool ok = true;
    for (const wchar_t* clsid : kClassIds) ok = DeleteKey((std::wstring(kClassesKey) + clsid).c_str()) && ok;
    return ok;
}

bool DeleteAll() { return DeleteKey(kRootKey); }

bool WriteStartState(const simmodem::StartState& state) {
    if (!DeleteAll()) return false;
    CKeyWriter root(kRootKey);
    const simmodem::Settings& s = state.settings;
    SettingsFields(root, s);
    if (!s.logFile.empty()) root.Text(L"LogFile", s.logFile);
    root.Dword(L"InterfaceCount", static_cast<uint32_t>(state.interfaces.size()));
    std::vector<std::wstring> faults;
    for (const auto& f : state.faults) faults.push_back(simtext::FormatFault(f));
    root.MultiText(L"Faults", faults);
    bool ok = root.Ok();
    for (size_t i = 0; i < state.interfaces.size(); ++i) {
        const simmodem::InterfaceSpec& itf = state.interfaces[i];
        CKeyWriter k(Sub(kRootKey, L"Interface", i));
        if (!itf.interfaceId.empty()) k.Text(L"Id", itf.interfaceId);
        InterfaceFields(k, itf);
        k.Dword(L"Present", itf.present ? 1 : 0);
        if (!itf.sarConfig.empty()) k.Binary(L"SarConfig", itf.sarConfig);
        ok = ok && k.Ok();
    }
    CKeyWriter control(kControlKey);
    return ok && control.Ok();
}

bool ReadStartState(simmodem::StartState& state) {
    CKeyReader root(kRootKey);
    if (!root.Ok()) return false;
    simmodem::StartState s;
    s.interfaces.clear();
    SettingsFields(root, s.settings);
    root.Text(L"LogFile", s.settings.logFile);
    uint32_t count = 1;
    root.Dword(L"InterfaceCount", count);
    std::vector<std::wstring> faults;
    root.MultiText(L"Faults", faults);
    for (const auto& text : faults) {
        simtext::Change change;
        simmodem::FaultSpec fault;
        if (simtext::ParseChange(text, change) && simtext::ParseFault(change, fault)) s.faults.push_back(fault);
    }
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        simmodem::InterfaceSpec itf;
        CKeyReader k(Sub(kRootKey, L"Interface", i));
        k.Text(L"Id", itf.interfaceId);
        InterfaceFields(k, itf);
        uint32_t present = 1;
        k.Dword(L"Present", present);
        itf.present = present != 0;
        k.Binary(L"SarConfig", itf.sarConfig);
        s.interfaces.push_back(itf);
    }
    state = s;
    return true;
}

bool WriteStatus(const Status& status) {
    CKeyWriter k(kStatusKey);
    k.Dword(L"Pid", status.pid);
    k.Dword(L"Applied", status.applied);
    k.Dword(L"Rejected", status.rejected);
    k.Text(L"LastRejected", status.lastRejected);
    k.Dword(L"AdvisedInterfaceManager", status.advised[SIMMODEM_SINK_INTERFACE_MANAGER]);
    k.Dword(L"AdvisedRadio", status.advised[SIMMODEM_SINK_RADIO]);
    k.Dword(L"AdvisedRegistration", status.advised[SIMMODEM_SINK_REGISTRATION]);
    k.Dword(L"AdvisedDeviceServices", status.advised[SIMMODEM_SINK_DEVICE_SERVICES]);
    k.Dword(L"LogCount", status.logCount);
    k.Dword(L"Held", status.held);
    k.Dword(L"InterfaceCount", static_cast<uint32_t>(status.interfaces.size()));
    bool ok = k.Ok();
    for (size_t i = 0; i < status.interfaces.size(); ++i) {
        const InterfaceStatus& s = status.interfaces[i];
        CKeyWriter w(Sub(kStatusKey, L"Interface", i));
        w.Dword(L"Present", s.present);
        w.Dword(L"HardwareRadio", s.hardwareRadio);
        w.Dword(L"SoftwareRadio", s.softwareRadio);
        w.Dword(L"RegisterState", s.registerState);
        w.Dword(L"TableIndex", s.tableIndex);
        w.Dword(L"TableCrc", s.tableCrc);
        w.Dword(L"SarEnable", s.sarEnable);
        w.Dword(L"TxEnable", s.txEnable);
        w.Dword(L"Transmitting", s.transmitting);
        w.Dword(L"OpenSessions", s.openSessions);
        w.Binary(L"SarImage", s.sarImage);
        w.Binary(L"SarConfig", s.sarConfigReply);
        ok = ok && w.Ok();
    }
    return ok;
}

bool ReadStatus(Status& status) {
    CKeyReader k(kStatusKey);
    if (!k.Ok()) return false;
    Status s;
    k.Dword(L"Pid", s.pid);
    k.Dword(L"Applied", s.applied);
    k.Dword(L"Rejected", s.rejected);
    k.Text(L"LastRejected", s.lastRejected);
    k.Dword(L"AdvisedInterfaceManager", s.advised[SIMMODEM_SINK_INTERFACE_MANAGER]);
    k.Dword(L"AdvisedRadio", s.advised[SIMMODEM_SINK_RADIO]);
    k.Dword(L"AdvisedRegistration", s.advised[SIMMODEM_SINK_REGISTRATION]);
    k.Dword(L"AdvisedDeviceServices", s.advised[SIMMODEM_SINK_DEVICE_SERVICES]);
    k.Dword(L"LogCount", s.logCount);
    k.Dword(L"Held", s.held);
    uint32_t count = 0;
    k.Dword(L"InterfaceCount", count);
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        InterfaceStatus is;
        CKeyReader r(Sub(kStatusKey, L"Interface", i));
        r.Dword(L"Present", is.present);
        r.Dword(L"HardwareRadio", is.hardwareRadio);
        r.Dword(L"SoftwareRadio", is.softwareRadio);
        r.Dword(L"RegisterState", is.registerState);
        r.Dword(L"TableIndex", is.tableIndex);
        r.Dword(L"TableCrc", is.tableCrc);
        r.Dword(L"SarEnable", is.sarEnable);
        r.Dword(L"TxEnable", is.txEnable);
        r.Dword(L"Transmitting", is.transmitting);
        r.Dword(L"OpenSessions", is.openSessions);
        r.Binary(L"SarImage", is.sarImage);
        r.Binary(L"SarConfig", is.sarConfigReply);
        s.interfaces.push_back(is);
    }
    status = s;
    return true;
}

}  // namespace simreg
