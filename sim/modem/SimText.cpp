#include "SimText.h"

#include <cwctype>

namespace simtext {

namespace {
struct Name {
    uint32_t value;
    const wchar_t* text;
};

const Name kOps[] = {{SIMMODEM_OP_ANY, L"ANY"},           {SIMMODEM_OP_SET, L"SET"},
                     {SIMMODEM_OP_QUERY, L"QUERY"},       {SIMMODEM_OP_OPEN_SESSION, L"OPEN"},
                     {SIMMODEM_OP_CLOSE_SESSION, L"CLOSE"}, {SIMMODEM_OP_RADIO, L"RADIO"}};

const Name kMethods[] = {
    {SIMMODEM_METHOD_CREATE_INTERFACE_MANAGER, L"CreateInterfaceManager"},
    {SIMMODEM_METHOD_CREATE_DEVICE_SERVICES_MANAGER, L"CreateDeviceServicesManager"},
    {SIMMODEM_METHOD_GET_INTERFACES, L"GetInterfaces"},
    {SIMMODEM_METHOD_GET_INTERFACE, L"GetInterface"},
    {SIMMODEM_METHOD_GET_INTERFACE_CAPABILITY, L"GetInterfaceCapability"},
    {SIMMODEM_METHOD_GET_INTERFACE_ID, L"get_InterfaceID"},
    {SIMMODEM_METHOD_GET_SOFTWARE_RADIO, L"get_SoftwareRadioState"},
    {SIMMODEM_METHOD_GET_HARDWARE_RADIO, L"get_HardwareRadioState"},
    {SIMMODEM_METHOD_SET_SOFTWARE_RADIO, L"SetSoftwareRadioState"},
    {SIMMODEM_METHOD_GET_REGISTER_STATE, L"GetRegisterState"},
    {SIMMODEM_METHOD_GET_PROVIDER_ID, L"GetProviderID"},
    {SIMMODEM_METHOD_FIND_CONNECTION_POINT, L"FindConnectionPoint"},
    {SIMMODEM_METHOD_ADVISE, L"Advise"},
    {SIMMODEM_METHOD_UNADVISE, L"Unadvise"},
    {SIMMODEM_METHOD_GET_DEVICE_SERVICES_CONTEXT, L"GetDeviceServicesContext"},
    {SIMMODEM_METHOD_ENUMERATE_DEVICE_SERVICES, L"EnumerateDeviceServices"},
    {SIMMODEM_METHOD_GET_DEVICE_SERVICE, L"GetDeviceService"},
    {SIMMODEM_METHOD_OPEN_COMMAND_SESSION, L"OpenCommandSession"},
    {SIMMODEM_METHOD_CLOSE_COMMAND_SESSION, L"CloseCommandSession"},
    {SIMMODEM_METHOD_SET_COMMAND, L"SetCommand"},
    {SIMMODEM_METHOD_QUERY_COMMAND, L"QueryCommand"},
    {SIMMODEM_METHOD_GET_DEVICE_SERVICE_ID, L"get_DeviceServiceID"},
    {SIMMODEM_METHOD_GET_READY_STATE, L"GetReadyState"},
};

const Name kSinks[] = {{SIMMODEM_SINK_INTERFACE_MANAGER, L"manager"},
                       {SIMMODEM_SINK_RADIO, L"radio"},
                       {SIMMODEM_SINK_REGISTRATION, L"registration"},
                       {SIMMODEM_SINK_DEVICE_SERVICES, L"services"},
                       {SIMMODEM_ANY, L"any"}};

const Name kFaultKinds[] = {{SIMMODEM_FAULT_HRESULT, L"hresult"},
                            {SIMMODEM_FAULT_BUSY, L"busy"},
                            {SIMMODEM_FAULT_STATUS, L"status"},
                            {SIMMODEM_FAULT_NO_COMPLETION, L"never"},
                            {SIMMODEM_FAULT_REPLY, L"reply"},
                            {SIMMODEM_FAULT_REMOVE_AFTER, L"remove"},
                            {SIMMODEM_FAULT_STRAY_SERVICE, L"strayservice"},
                            {SIMMODEM_FAULT_STRAY_INTERFACE, L"strayinterface"},
                            {SIMMODEM_FAULT_STRAY_REQUEST, L"strayrequest"},
                            {SIMMODEM_FAULT_DELAY, L"delay"},
                            {SIMMODEM_FAULT_HOLD, L"hold"}};

template <size_t N>
const wchar_t* Lookup(const Name (&table)[N], uint32_t value) {
    for (const Name& n : table)
        if (n.value == value) return n.text;
    return L"";
}

template <size_t N>
bool Lookup(const Name (&table)[N], const std::wstring& text, uint32_t& value) {
    for (const Name& n : table)
        if (EqualsNoCase(text, n.text)) {
            value = n.value;
            return true;
        }
    return false;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) return parts;
        start = end + 1;
    }
}

std::wstring Trim(const std::wstring& text) {
    size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return std::wstring();
    size_t last = text.find_last_not_of(L" \t\r\n");
    return text.substr(first, last - first + 1);
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}
}  // namespace

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

std::wstring Hex(const Bytes& bytes) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

bool ParseHex(const std::wstring& text, Bytes& bytes) {
    if (text.size() % 2) return false;
    Bytes parsed;
    parsed.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        parsed.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    bytes.swap(parsed);
    return true;
}

bool ParseNumber(const std::wstring& raw, uint32_t& value) {
    std::wstring text = Trim(raw);
    if (EqualsNoCase(text, L"any") || EqualsNoCase(text, L"always")) {
        value = 0xFFFFFFFFu;
        return true;
    }
    if (text.empty()) return false;
    uint64_t result = 0;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        if (text.size() > 10) return false;
        for (size_t i = 2; i < text.size(); ++i) {
            int d = HexDigit(text[i]);
            if (d < 0) return false;
            result = result * 16 + static_cast<uint64_t>(d);
        }
    } else {
        for (wchar_t c : text) {
            if (c < L'0' || c > L'9') return false;
            result = result * 10 + static_cast<uint64_t>(c - L'0');
            if (result > 0xFFFFFFFFull) return false;
        }
    }
    value = static_cast<uint32_t>(result);
    return true;
}

std::wstring Number(uint32_t value) { return std::to_wstring(value); }

std::wstring HexNumber(uint32_t value) {
    wchar_t buffer[16];
    swprintf(buffer, 16, L"0x%08X", value);
    return buffer;
}

Change& Change::Set(const std::wstring& key, const std::wstring& value) {
    for (auto& arg : args)
        if (EqualsNoCase(arg.first, key)) {
            arg.second = value;
            return *this;
        }
    args.emplace_back(key, value);
    return *this;
}

bool Change::Has(const std::wstring& key) const {
    for (const auto& arg : args)
        if (EqualsNoCase(arg.first, key)) return true;
    return false;
}

std::wstring Change::Get(const std::wstring& key) const {
    for (const auto& arg : args)
        if (EqualsNoCase(arg.first, key)) return arg.second;
    return std::wstring();
}

bool Change::GetNumber(const std::wstring& key, uint32_t& value) const {
    if (!Has(key)) return true;
    return ParseNumber(Get(key), value);
}

bool ParseChange(const std::wstring& text, Change& change) {
    std::vector<std::wstring> parts = Split(text, L';');
    Change parsed(Trim(parts[0]));
    if (parsed.verb.empty()) return false;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (Trim(parts[i]).empty()) continue;
        size_t eq = parts[i].find(L'=');
        if (eq == std::wstring::npos) return false;
        std::wstring key = Trim(parts[i].substr(0, eq));
        if (key.empty()) return false;
        parsed.args.emplace_back(key, parts[i].substr(eq + 1));
    }
    change = parsed;
    return true;
}

std::wstring FormatChange(const Change& change) {
    std::wstring text = change.verb;
    for (const auto& arg : change.args) text += L";" + arg.first + L"=" + arg.second;
    return text;
}

std::wstring FormatFault(const simmodem::FaultSpec& f) {
    Change c(L"fault");
    c.Set(L"kind", FaultKindName(f.kind));
    if (f.kind == SIMMODEM_FAULT_HRESULT) c.Set(L"method", MethodName(f.method));
    if (f.interfaceIndex != SIMMODEM_ANY) c.Set(L"if", f.interfaceIndex);
    if (!f.service.empty()) c.Set(L"svc", f.service);
    if (f.cid != SIMMODEM_ANY) c.Set(L"cid", f.cid);
    if (f.op != SIMMODEM_OP_ANY) c.Set(L"op", OpName(f.op));
    if (f.sink != SIMMODEM_ANY) c.Set(L"sink", SinkName(f.sink));
    c.Set(L"count", f.count == SIMMODEM_ALWAYS ? std::wstring(L"always") : Number(f.count));
    // A delay or a hold only times the completion the request gets anyway: no status of its own.
    if (f.kind != SIMMODEM_FAULT_DELAY && f.kind != SIMMODEM_FAULT_HOLD)
        c.Set(L"hr", HexNumber(static_cast<uint32_t>(f.hr)));
    if (f.kind == SIMMODEM_FAULT_REPLY) c.Set(L"reply", Hex(f.reply));
    if (f.rearriveMs) c.Set(L"rearrive", f.rearriveMs);
    if (f.kind == SIMMODEM_FAULT_DELAY) c.Set(L"ms", f.delayMs);
    return FormatChange(c);
}

bool ParseFault(const Change& c, simmodem::FaultSpec& fault) {
    simmodem::FaultSpec f;
    if (!EqualsNoCase(c.verb, L"fault") || !ParseFaultKind(c.Get(L"kind"), f.kind)) return false;
    if (f.kind == SIMMODEM_FAULT_HRESULT && !ParseMethod(c.Get(L"method"), f.method)) return false;
    if (c.Has(L"op") && !ParseOp(c.Get(L"op"), f.op)) return false;
    if (c.Has(L"sink") && !ParseSink(c.Get(L"sink"), f.sink)) return false;
    if (c.Has(L"reply") && !ParseHex(c.Get(L"reply"), f.reply)) return false;
    uint32_t hr = 0;
    if (!c.GetNumber(L"if", f.interfaceIndex) || !c.GetNumber(L"cid", f.cid) || !c.GetNumber(L"count", f.count) ||
        !c.GetNumber(L"hr", hr) || !c.GetNumber(L"rearrive", f.rearriveMs) || !c.GetNumber(L"ms", f.delayMs))
        return false;
    f.hr = static_cast<int32_t>(hr);
    if (f.kind == SIMMODEM_FAULT_BUSY) f.hr = static_cast<int32_t>(0x800700AA);
    f.service = c.Get(L"svc");
    fault = f;
    return true;
}

const wchar_t* OpName(uint32_t op) { return Lookup(kOps, op); }
bool ParseOp(const std::wstring& text, uint32_t& op) { return Lookup(kOps, text, op); }
const wchar_t* MethodName(uint32_t method) { return Lookup(kMethods, method); }
bool ParseMethod(const std::wstring& text, uint32_t& method) { return Lookup(kMethods, text, method); }
const wchar_t* SinkName(uint32_t sink) { return Lookup(kSinks, sink); }
bool ParseSink(const std::wstring& text, uint32_t& sink) { return Lookup(kSinks, text, sink); }
const wchar_t* FaultKindName(uint32_t kind) { return Lookup(kFaultKinds, kind); }
bool ParseFaultKind(const std::wstring& text, uint32_t& kind) { return Lookup(kFaultKinds, text, kind); }

std::wstring FormatLogLine(const simmodem::LogEntry& e) {
    return Number(e.sequence) + L"\t" + Number(e.interfaceIndex) + L"\t" + (e.service.empty() ? L"-" : e.service) +
           L"\t" + OpName(e.op) + L"\t" + Number(e.cid) + L"\t" + Number(e.requestId) + L"\t" + Hex(e.payload);
}

bool ParseLogLine(const std::wstring& line, simmodem::LogEntry& entry) {
    std::vector<std::wstring> f = Split(Trim(line), L'\t');
    if (f.size() == 6) f.emplace_back();  // an empty payload may lose its tab to Trim
    if (f.size() != 7) return false;
    simmodem::LogEntry e;
    if (!ParseNumber(f[0], e.sequence) || !ParseNumber(f[1], e.interfaceIndex) || !ParseOp(f[3], e.op) ||
        !ParseNumber(f[4], e.cid) || !ParseNumber(f[5], e.requestId) || !ParseHex(f[6], e.payload))
        return false;
    e.service = f[2] == L"-" ? std::wstring() : f[2];
    entry = e;
    return true;
}

}  // namespace simtext
