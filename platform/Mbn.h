// Mobile Broadband COM API, declared here because mingw-w64 ships no mbnapi.h.
// Slot order, IIDs and struct layouts follow the Windows SDK exactly: the same
// binary talks to the real Mobile Broadband service on Windows.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <cstddef>

#define TARVO_MBN_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

TARVO_MBN_GUID(CLSID_MbnInterfaceManager, 0xBDFEE05B, 0x4418, 0x11DD, 0x90, 0xED, 0x00, 0x1C, 0x25, 0x7C, 0xCF, 0xF1);
TARVO_MBN_GUID(CLSID_MbnDeviceServicesManager, 0x2269DAA3, 0x2A9F, 0x4165, 0xA5, 0x01, 0xCE, 0x00, 0xA6, 0xF7, 0xA7, 0x5B);

TARVO_MBN_GUID(IID_IMbnInterfaceManager, 0xDCBBBAB6, 0x201B, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnInterface, 0xDCBBBAB6, 0x2001, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnRadio, 0xDCCCCAB6, 0x201F, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnRegistration, 0xDCBBBAB6, 0x2009, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnDeviceServicesManager, 0x20A26258, 0x6811, 0x4478, 0xAC, 0x1D, 0x13, 0x32, 0x4E, 0x45, 0xE4, 0x1C);
TARVO_MBN_GUID(IID_IMbnDeviceServicesContext, 0xFC5AC347, 0x1592, 0x4068, 0x80, 0xBB, 0x6A, 0x57, 0x58, 0x01, 0x50, 0xD8);
TARVO_MBN_GUID(IID_IMbnDeviceService, 0xB3BB9A71, 0xDC70, 0x4BE9, 0xA4, 0xDA, 0x78, 0x86, 0xAE, 0x8B, 0x19, 0x1B);
TARVO_MBN_GUID(IID_IMbnInterfaceManagerEvents, 0xDCBBBAB6, 0x201C, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnRadioEvents, 0xDCDDDAB6, 0x201F, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnRegistrationEvents, 0xDCBBBAB6, 0x200A, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnDeviceServicesEvents, 0x0A900C19, 0x6824, 0x4E97, 0xB7, 0x6E, 0xCF, 0x23, 0x9D, 0x0C, 0xA6, 0x42);
TARVO_MBN_GUID(IID_IMbnInterfaceEvents, 0xDCBBBAB6, 0x2002, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnConnection, 0xDCBBBAB6, 0x200D, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA);
TARVO_MBN_GUID(IID_IMbnSubscriberInformation, 0x459ECC43, 0xBCF5, 0x11DC, 0xA8, 0xA8, 0x00, 0x13, 0x21, 0xF1, 0x40, 0x5F);

enum MBN_RADIO { MBN_RADIO_OFF = 0, MBN_RADIO_ON = 1 };

enum MBN_REGISTER_STATE {
    MBN_REGISTER_STATE_NONE = 0,
    MBN_REGISTER_STATE_DEREGISTERED = 1,
    MBN_REGISTER_STATE_SEARCHING = 2,
    MBN_REGISTER_STATE_HOME = 3,
    MBN_REGISTER_STATE_ROAMING = 4,
    MBN_REGISTER_STATE_PARTNER = 5,
    MBN_REGISTER_STATE_DENIED = 6
};

enum MBN_REGISTER_MODE { MBN_REGISTER_MODE_NONE = 0, MBN_REGISTER_MODE_AUTOMATIC = 1, MBN_REGISTER_MODE_MANUAL = 2 };

enum MBN_DEVICE_SERVICES_INTERFACE_STATE {
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_ARRIVAL = 0,
    MBN_DEVICE_SERVICES_CAPABLE_INTERFACE_REMOVAL = 1
};

enum MBN_CELLULAR_CLASS { MBN_CELLULAR_CLASS_NONE = 0, MBN_CELLULAR_CLASS_GSM = 1, MBN_CELLULAR_CLASS_CDMA = 2 };

enum MBN_VOICE_CLASS {
    MBN_VOICE_CLASS_NONE = 0,
    MBN_VOICE_CLASS_NO_VOICE = 1,
    MBN_VOICE_CLASS_SEPARATE_VOICE_DATA = 2,
    MBN_VOICE_CLASS_SIMULTANEOUS_VOICE_DATA = 3
};

enum MBN_READY_STATE {
    MBN_READY_STATE_OFF = 0,
    MBN_READY_STATE_INITIALIZED = 1,
    MBN_READY_STATE_SIM_NOT_INSERTED = 2,
    MBN_READY_STATE_BAD_SIM = 3,
    MBN_READY_STATE_FAILURE = 4,
    MBN_READY_STATE_NOT_ACTIVATED = 5,
    MBN_READY_STATE_DEVICE_LOCKED = 6,
    MBN_READY_STATE_DEVICE_BLOCKED = 7,
    MBN_READY_STATE_NO_ESIM_PROFILE = 8
};

enum MBN_PROVIDER_STATE {
    MBN_PROVIDER_STATE_NONE = 0,
    MBN_PROVIDER_STATE_HOME = 1,
    MBN_PROVIDER_STATE_FORBIDDEN = 2,
    MBN_PROVIDER_STATE_PREFERRED = 4,
    MBN_PROVIDER_STATE_VISIBLE = 8,
    MBN_PROVIDER_STATE_REGISTERED = 0x10,
    MBN_PROVIDER_STATE_PREFERRED_MULTICARRIER = 0x20
};

struct MBN_INTERFACE_CAPS {
    MBN_CELLULAR_CLASS cellularClass;
    MBN_VOICE_CLASS voiceClass;
    ULONG dataClass;
    BSTR customDataClass;
    ULONG gsmBandClass;
    ULONG cdmaBandClass;
    BSTR customBandClass;
    ULONG smsCaps;
    ULONG controlCaps;
    BSTR deviceID;
    BSTR manufacturer;
    BSTR model;
    BSTR firmwareInfo;
};

struct MBN_DEVICE_SERVICE {
    BSTR deviceServiceID;
    VARIANT_BOOL dataWriteSupported;
    VARIANT_BOOL dataReadSupported;
};

struct MBN_PROVIDER {
    BSTR providerID;
    ULONG providerState;
    BSTR providerName;
    ULONG dataClass;
};

#ifdef _WIN64
static_assert(sizeof(MBN_INTERFACE_CAPS) == 80, "MBN_INTERFACE_CAPS must match the x64 SDK layout");
static_assert(offsetof(MBN_INTERFACE_CAPS, customDataClass) == 16, "MBN_INTERFACE_CAPS layout");
static_assert(offsetof(MBN_INTERFACE_CAPS, smsCaps) == 40, "MBN_INTERFACE_CAPS layout");
static_assert(offsetof(MBN_INTERFACE_CAPS, model) == 64, "MBN_INTERFACE_CAPS layout");
static_assert(sizeof(MBN_DEVICE_SERVICE) == 16, "MBN_DEVICE_SERVICE must match the x64 SDK layout");
static_assert(offsetof(MBN_DEVICE_SERVICE, dataReadSupported) == 10, "MBN_DEVICE_SERVICE layout");
static_assert(sizeof(MBN_PROVIDER) == 32, "MBN_PROVIDER must match the x64 SDK layout");
#endif

// Interfaces this system only passes around.
struct IMbnSubscriberInformation : public IUnknown {};
struct IMbnConnection : public IUnknown {};

struct IMbnInterface;
struct IMbnRadio;
struct IMbnRegistration;
struct IMbnDeviceService;
struct IMbnDeviceServicesContext;

struct IMbnInterfaceManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetInterface(LPCWSTR interfaceID, IMbnInterface** mbnInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInterfaces(SAFEARRAY** mbnInterfaces) = 0;
};

struct IMbnInterface : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInterfaceCapability(MBN_INTERFACE_CAPS* interfaceCaps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSubscriberInformation(IMbnSubscriberInformation** subscriberInformation) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReadyState(MBN_READY_STATE* readyState) = 0;
    virtual HRESULT STDMETHODCALLTYPE InEmergencyMode(VARIANT_BOOL* emergencyMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetHomeProvider(MBN_PROVIDER* homeProvider) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreferredProviders(SAFEARRAY** preferredProviders) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetPreferredProviders(SAFEARRAY* preferredProviders, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVisibleProviders(ULONG* age, SAFEARRAY** visibleProviders) = 0;
    virtual HRESULT STDMETHODCALLTYPE ScanNetwork(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnection(IMbnConnection** mbnConnection) = 0;
};

struct IMbnRadio : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_SoftwareRadioState(MBN_RADIO* SoftwareRadioState) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HardwareRadioState(MBN_RADIO* HardwareRadioState) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSoftwareRadioState(MBN_RADIO radioState, ULONG* requestID) = 0;
};

struct IMbnRegistration : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetRegisterState(MBN_REGISTER_STATE* registerState) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRegisterMode(MBN_REGISTER_MODE* registerMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProviderID(BSTR* providerID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProviderName(BSTR* providerName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRoamingText(BSTR* roamingText) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAvailableDataClasses(ULONG* availableDataClasses) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentDataClass(ULONG* currentDataClass) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRegistrationNetworkError(ULONG* registrationNetworkError) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPacketAttachNetworkError(ULONG* packetAttachNetworkError) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetRegisterMode(MBN_REGISTER_MODE registerMode, LPCWSTR providerID,
                                                      ULONG dataClass, ULONG* requestID) = 0;
};

struct IMbnDeviceServicesManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDeviceServicesContext(BSTR networkInterfaceID,
                                                               IMbnDeviceServicesContext** mbnDevicesContext) = 0;
};

struct IMbnDeviceServicesContext : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumerateDeviceServices(SAFEARRAY** deviceServices) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceService(BSTR deviceServiceID, IMbnDeviceService** mbnDeviceService) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxCommandSize(ULONG* maxCommandSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_MaxDataSize(ULONG* maxDataSize) = 0;
};

struct IMbnDeviceService : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QuerySupportedCommands(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenCommandSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseCommandSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCommand(ULONG commandID, SAFEARRAY* deviceServiceData, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryCommand(ULONG commandID, SAFEARRAY* deviceServiceData, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OpenDataSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseDataSession(ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteData(SAFEARRAY* deviceServiceData, ULONG* requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InterfaceID(BSTR* InterfaceID) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DeviceServiceID(BSTR* DeviceServiceID) = 0;
    // These two take a 4-byte BOOL, not a VARIANT_BOOL.
    virtual HRESULT STDMETHODCALLTYPE get_IsCommandSessionOpen(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsDataSessionOpen(BOOL* value) = 0;
};

struct IMbnInterfaceManagerEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceArrival(IMbnInterface* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceRemoval(IMbnInterface* oldInterface) = 0;
};

struct IMbnRadioEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnRadioStateChange(IMbnRadio* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetSoftwareRadioStateComplete(IMbnRadio* newInterface, ULONG requestID,
                                                                      HRESULT status) = 0;
};

struct IMbnRegistrationEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnRegisterModeAvailable(IMbnRegistration* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnRegisterStateChange(IMbnRegistration* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnPacketServiceStateChange(IMbnRegistration* newInterface) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetRegisterModeComplete(IMbnRegistration* newInterface, ULONG requestID,
                                                                HRESULT status) = 0;
};

// Device-service completions pass status before requestID, unlike the radio
// and registration events.
struct IMbnDeviceServicesEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnQuerySupportedCommandsComplete(IMbnDeviceService* deviceService,
                                                                       SAFEARRAY* commandIDList, HRESULT status,
                                                                       ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                                   ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseCommandSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                                    ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSetCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                           SAFEARRAY* deviceServiceData, HRESULT status,
                                                           ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnQueryCommandComplete(IMbnDeviceService* deviceService, ULONG responseID,
                                                             SAFEARRAY* deviceServiceData, HRESULT status,
                                                             ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEventNotification(IMbnDeviceService* deviceService, ULONG eventID,
                                                          SAFEARRAY* deviceServiceData) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnOpenDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                                ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnCloseDataSessionComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                                 ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnWriteDataComplete(IMbnDeviceService* deviceService, HRESULT status,
                                                          ULONG requestID) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReadData(IMbnDeviceService* deviceService, SAFEARRAY* deviceServiceData) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnInterfaceStateChange(BSTR interfaceID,
                                                             MBN_DEVICE_SERVICES_INTERFACE_STATE stateChange) = 0;
};

#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IMbnInterfaceManager, 0xDCBBBAB6, 0x201B, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnInterface, 0xDCBBBAB6, 0x2001, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnRadio, 0xDCCCCAB6, 0x201F, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnRegistration, 0xDCBBBAB6, 0x2009, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnDeviceServicesManager, 0x20A26258, 0x6811, 0x4478, 0xAC, 0x1D, 0x13, 0x32, 0x4E, 0x45, 0xE4, 0x1C)
__CRT_UUID_DECL(IMbnDeviceServicesContext, 0xFC5AC347, 0x1592, 0x4068, 0x80, 0xBB, 0x6A, 0x57, 0x58, 0x01, 0x50, 0xD8)
__CRT_UUID_DECL(IMbnDeviceService, 0xB3BB9A71, 0xDC70, 0x4BE9, 0xA4, 0xDA, 0x78, 0x86, 0xAE, 0x8B, 0x19, 0x1B)
__CRT_UUID_DECL(IMbnInterfaceManagerEvents, 0xDCBBBAB6, 0x201C, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnRadioEvents, 0xDCDDDAB6, 0x201F, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnRegistrationEvents, 0xDCBBBAB6, 0x200A, 0x4BBB, 0xAA, 0xEE, 0x33, 0x8E, 0x36, 0x8A, 0xF6, 0xFA)
__CRT_UUID_DECL(IMbnDeviceServicesEvents, 0x0A900C19, 0x6824, 0x4E97, 0xB7, 0x6E, 0xCF, 0x23, 0x9D, 0x0C, 0xA6, 0x42)
#endif
