// The platform factory: turns the reported modem model into a modem object.
#pragma once

#include <windows.h>
#include <cstddef>
#include <string>

class CWWANDevice;

class CTarvoDeviceFactory {
public:
    virtual ~CTarvoDeviceFactory() = default;
    virtual std::string GetBIOSID() = 0;
    // A new modem object the caller owns, or null.
    virtual CWWANDevice* CreateWWANDevice() = 0;

    HRESULT InitCom();

    // One model the factory recognises: the literal compared over its own
    // length, the line logged when it matches, and the class it yields.
    struct ModelRow {
        const wchar_t* literal;
        const char* message;
        CWWANDevice* (*create)(const std::wstring& modelName);
    };

    template <typename TDevice>
    static CWWANDevice* MakeDevice(const std::wstring& modelName) {
        return new TDevice(modelName);
    }

protected:
    // The creation every factory shares: read the default modem's model, log it
    // when asked, and make the first matching row's class with the row's literal.
    static CWWANDevice* CreateFromRows(const char* functionName, const ModelRow* rows, size_t count,
                                       bool logModelName);
    // 1 when hardwareId begins with prefix (case-insensitive), logging the class's fixed id.
    static int MatchHardwareId(const char* functionName, const char* fixedId, const char* hardwareId,
                               const char* prefix);
};
