#include "CTarvoDeviceFactory.h"

#include "CWWANDevice.h"
#include "Logger.h"
#include "MBSar.h"

#include <objbase.h>

#include <cstring>
#include <cwchar>
#include <exception>

HRESULT CTarvoDeviceFactory::InitCom() {
    LogTraceEnter("CTarvoDeviceFactory::InitCom");
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        const char* name = "UNKNOWN.";
        switch (hr) {
        case E_INVALIDARG: name = "E_INVALIDARG."; break;
        case E_OUTOFMEMORY: name = "E_OUTOFMEMORY."; break;
        case E_UNEXPECTED: name = "E_UNEXPECTED."; break;
        case RPC_E_CHANGED_MODE: name = "RPC_E_CHANGED_MODE."; break;
        default: break;
        }
        LogWrite("CTarvoDeviceFactory::InitCom", std::string("COM Initialization failed with status = ") + name, 2);
    }
    LogTraceExit("CTarvoDeviceFactory::InitCom");
    return hr;
}

CWWANDevice* CTarvoDeviceFactory::CreateFromRows(const char* functionName, const ModelRow* rows, size_t count,
                                                 bool logModelName) {
    LogTraceEnter(functionName);
    CWWANDevice* device = nullptr;
    try {
        wchar_t model[MAX_PATH] = {};
        int status = 1;
        try {
            status = MBSar::GetModemModel(model);
        } catch (const hresult_error&) {
            // The platform failed while the modem was looked up: no model this time.
            status = 1;
        }
        if (status != 0) {
            LogWrite(functionName, "GetHardwareId function failed...", 2);
        } else {
            if (logModelName) {
                std::string narrow = "\"";
                for (const wchar_t* c = model; *c; ++c) narrow += static_cast<char>(*c);
                narrow += "\"";
                LogWrite(functionName, narrow, 1);
            }
            const ModelRow* match = nullptr;
            for (size_t i = 0; i < count && !match; ++i)
                if (std::wcsncmp(model, rows[i].literal, std::wcslen(rows[i].literal)) == 0) match = &rows[i];
            if (match) {
                LogWrite(functionName, match->message, 0);
                device = match->create(match->literal);
            } else {
                LogWrite(functionName, "No supported WWAN device found", 1);
            }
        }
    } catch (const std::exception& e) {
        LogWrite(functionName, e.what(), 2);
        delete device;
        device = nullptr;
    }
    LogTraceExit(functionName);
    return device;
}

int CTarvoDeviceFactory::MatchHardwareId(const char* functionName, const char* fixedId, const char* hardwareId,
                                         const char* prefix) {
    if (!hardwareId || !prefix) return 0;
    if (_strnicmp(hardwareId, prefix, std::strlen(prefix)) != 0) return 0;
    LogWrite(functionName, std::string("hardwareid = \"") + fixedId + "\"", 1);
    return 1;
}
