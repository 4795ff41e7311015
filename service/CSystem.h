// What the machine is: BIOS id, machine type, Windows version, and whether the
// power-management driver reports a P-sensor and the Thermova feature.
#pragma once

#include <windows.h>
#include <string>

#include "Handles.h"

// The power-management driver's devices and requests.
#define TARVO_PM_DEVICE_SENSORS "\\\\.\\DADORUZAR"
#define TARVO_PM_DEVICE_RADIO "\\\\.\\ZOVEVI"
enum : DWORD {
    TARVO_IOCTL_PSENSOR = 0x222690,   // input 0: bit 0x1 present, bit 0x2 detection on
    TARVO_IOCTL_THERMOVA = 0x22270C,  // input 3: bit 0x20000 present; input 2: bit 0x20000 unstable
    TARVO_IOCTL_RADIO = 0x222804,     // WWAN radio and WLAN transmit power, see CTarvoApplication
};

class CSystem {
public:
    CSystem();
    ~CSystem();

    void GetBIOSID(std::string& biosId);
    void GetSystemModel(std::string& model);
    char* GetBIOSIDBuffer();
    bool IsWindows7OrGreater();
    int HasPSensor();
    int HasThermova();
    void ReadBIOSVersion();
    void ReadBaseBoardProduct();

    // The driver's request format: a device opened for read and write with read
    // sharing, one DeviceIoControl with a 4-byte input and output word. The
    // device is opened for overlapped requests, so that a request is awaited
    // for its bound alone and ends at the calling thread's stop (CDriverRequest).
    static HANDLE OpenDriverDevice(const char* device);
    static BOOL DriverIoControl(HANDLE device, DWORD code, DWORD input, DWORD& output);
    // Open, one request, close. False when the device does not open or the request fails.
    static bool DriverRequest(const char* device, DWORD code, DWORD input, DWORD& output);

private:
    std::string m_strBIOSVersion;
    std::string m_strBaseBoardProduct;
};
