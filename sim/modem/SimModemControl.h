/* Control face of SimModem.dll, the simulated WWAN modem behind the Mobile
 * Broadband COM API. Plain C, stable: tests in the same process reach the very
 * instance that COM loaded with LoadLibraryW(<same path>) + GetProcAddress.
 * sim/modem/README.md explains the model; CSimModemControl wraps this in C++.
 *
 * Conventions: results are 0 for success and -1 for a bad argument (unknown
 * interface index, null pointer, buffer too small) unless said otherwise.
 * Interface indexes count every interface ever added since the last reset; a
 * removed interface keeps its index and can arrive again.
 */
#ifndef SIMMODEM_CONTROL_H
#define SIMMODEM_CONTROL_H

#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SIMMODEM_API_VERSION 2u

#define SIMMODEM_ANY 0xFFFFFFFFu     /* filter that matches everything */
#define SIMMODEM_ALWAYS 0xFFFFFFFFu  /* fault count: never used up */
#define SIMMODEM_ALL 0xFFFFFFFFu     /* SimModem_ReleaseHeld: every held completion */

/* The device services the simulator knows by their ids. */
#define SIMMODEM_SERVICE_MS_SAR L"{68223D04-9F6C-4E0F-822D-28441FB72340}"
#define SIMMODEM_SERVICE_DIAG L"{2d0c12c9-0e6a-495a-915c-8d174fe5d63c}"
#define SIMMODEM_SERVICE_AUX L"{11223344-5566-7788-99AA-BBCCDDEEFF11}"
#define SIMMODEM_SERVICE_QMUX L"{D1A30BC2-F97A-6E43-BF65-C7E24FB0F0D3}"

/* What a log entry records, and the kinds of request a completion fault matches. */
enum SimModemOp {
    SIMMODEM_OP_ANY = 0,
    SIMMODEM_OP_SET = 1,           /* IMbnDeviceService::SetCommand */
    SIMMODEM_OP_QUERY = 2,         /* IMbnDeviceService::QueryCommand */
    SIMMODEM_OP_OPEN_SESSION = 3,  /* OpenCommandSession */
    SIMMODEM_OP_CLOSE_SESSION = 4, /* CloseCommandSession */
    SIMMODEM_OP_RADIO = 5          /* IMbnRadio::SetSoftwareRadioState; payload one byte, the state */
};
#define SIMMODEM_OPMASK(op) (1u << (op))
#define SIMMODEM_OPMASK_COMMANDS (SIMMODEM_OPMASK(SIMMODEM_OP_SET) | SIMMODEM_OPMASK(SIMMODEM_OP_QUERY))
#define SIMMODEM_OPMASK_ALL 0xFFFFFFFFu

enum SimModemFaultKind {
    /* The method returns hr at once and does nothing. hr == S_OK instead makes it succeed with
     * an empty answer: a null object, string or array (CreateInstance, GetInterface(s),
     * GetDeviceServicesContext, GetDeviceService, FindConnectionPoint, get_InterfaceID...),
     * or a zero value (radio and registration state). Advise with S_OK gives cookie 0. */
    SIMMODEM_FAULT_HRESULT = 1,
    /* The matching request completes with status 0x800700AA and is not carried out. */
    SIMMODEM_FAULT_BUSY = 2,
    /* The matching request completes with status hr and is not carried out. */
    SIMMODEM_FAULT_STATUS = 3,
    /* The matching request is accepted (S_OK, logged) but never completes and is not carried out. */
    SIMMODEM_FAULT_NO_COMPLETION = 4,
    /* The matching command is carried out, but its reply bytes are replaced by reply/replyLength. */
    SIMMODEM_FAULT_REPLY = 5,
    /* The count-th matching command is logged and carried out, then the interface is removed
     * before its completion (which is lost); it arrives again after rearriveMs (0: stays away). */
    SIMMODEM_FAULT_REMOVE_AFTER = 6,
    /* Before the matching command's own completion, a stray completion of the same kind (status hr,
     * no bytes) arrives that is not the command's: STRAY_SERVICE carries the command's request id on
     * an object of another service of the interface, STRAY_INTERFACE carries it on an object of the
     * same service of another present interface, STRAY_REQUEST comes on the command's own service
     * with a request id that no request has. The command is then carried out as usual. */
    SIMMODEM_FAULT_STRAY_SERVICE = 7,
    SIMMODEM_FAULT_STRAY_INTERFACE = 8,
    SIMMODEM_FAULT_STRAY_REQUEST = 9,
    /* The matching request is carried out and logged as usual, but its completion, and what follows
     * it (notifications, a device-root reboot), goes out delayMs later than it would. Nothing else
     * waits for it: later completions, also of the same service object, may overtake it. */
    SIMMODEM_FAULT_DELAY = 10,
    /* The matching request is carried out and logged as usual, but its completion, and what follows
     * it, is held until SimModem_ReleaseHeld lets it go; it never goes by itself. A reset or a
     * removal of the interface drops it, as it drops pending completions. */
    SIMMODEM_FAULT_HOLD = 11
};

/* Methods a SIMMODEM_FAULT_HRESULT can fail. */
enum SimModemMethod {
    SIMMODEM_METHOD_CREATE_INTERFACE_MANAGER = 1,       /* class factory CreateInstance */
    SIMMODEM_METHOD_CREATE_DEVICE_SERVICES_MANAGER = 2, /* class factory CreateInstance */
    SIMMODEM_METHOD_GET_INTERFACES = 3,
    SIMMODEM_METHOD_GET_INTERFACE = 4,
    SIMMODEM_METHOD_GET_INTERFACE_CAPABILITY = 5,
    SIMMODEM_METHOD_GET_INTERFACE_ID = 6, /* IMbnInterface::get_InterfaceID */
    SIMMODEM_METHOD_GET_SOFTWARE_RADIO = 7,
    SIMMODEM_METHOD_GET_HARDWARE_RADIO = 8,
    SIMMODEM_METHOD_SET_SOFTWARE_RADIO = 9,
    SIMMODEM_METHOD_GET_REGISTER_STATE = 10,
    SIMMODEM_METHOD_GET_PROVIDER_ID = 11,
    SIMMODEM_METHOD_FIND_CONNECTION_POINT = 12, /* filter: sink */
    SIMMODEM_METHOD_ADVISE = 13,                /* filter: sink */
    SIMMODEM_METHOD_UNADVISE = 14,              /* filter: sink; the sink stays advised */
    SIMMODEM_METHOD_GET_DEVICE_SERVICES_CONTEXT = 15,
    SIMMODEM_METHOD_ENUMERATE_DEVICE_SERVICES = 16,
    SIMMODEM_METHOD_GET_DEVICE_SERVICE = 17,    /* filter: service */
    SIMMODEM_METHOD_OPEN_COMMAND_SESSION = 18,  /* filter: service */
    SIMMODEM_METHOD_CLOSE_COMMAND_SESSION = 19, /* filter: service */
    SIMMODEM_METHOD_SET_COMMAND = 20,           /* filter: service, cid */
    SIMMODEM_METHOD_QUERY_COMMAND = 21,         /* filter: service, cid */
    SIMMODEM_METHOD_GET_DEVICE_SERVICE_ID = 22, /* filter: service */
    SIMMODEM_METHOD_GET_READY_STATE = 23
};

/* The event interfaces a client can advise. */
enum SimModemSink {
    SIMMODEM_SINK_INTERFACE_MANAGER = 0, /* IMbnInterfaceManagerEvents */
    SIMMODEM_SINK_RADIO = 1,             /* IMbnRadioEvents */
    SIMMODEM_SINK_REGISTRATION = 2,      /* IMbnRegistrationEvents */
    SIMMODEM_SINK_DEVICE_SERVICES = 3    /* IMbnDeviceServicesEvents */
};

/* Live simulator objects, for leak checks. */
enum SimModemObject {
    SIMMODEM_OBJECT_INTERFACE_MANAGER = 0,
    SIMMODEM_OBJECT_DEVICE_SERVICES_MANAGER = 1,
    SIMMODEM_OBJECT_DEVICE_SERVICES_CONTEXT = 2,
    SIMMODEM_OBJECT_DEVICE_SERVICE = 3,
    /* Objects made to carry one event in the tearoff and other delivery modes; gone once every
     * sink has let go of them. */
    SIMMODEM_OBJECT_EVENT_OBJECT = 4
};

/* Which pointer a completion or notification passes for the object it is about (the device
 * service of a session or command, the interface of a radio, registration or arrival event). */
enum SimModemDelivery {
    SIMMODEM_DELIVERY_SAME = 0,    /* the very pointer the request was made on */
    SIMMODEM_DELIVERY_TEAROFF = 1, /* a pointer of its own per event whose QueryInterface(IID_IUnknown)
                                    * gives the original object's IUnknown: the same COM identity */
    SIMMODEM_DELIVERY_OTHER = 2    /* a second object per event for the same interface and service,
                                    * with an identity of its own (a new proxy, a fresh object) */
};

typedef struct SimModemSettings {
    uint32_t completionDelayMs;   /* every completion and notification; 0 still goes through the sim thread */
    uint32_t rebootRemoveDelayMs; /* device root: from its completion to the removal */
    uint32_t rebootArriveDelayMs; /* device root: from the removal to the arrival */
    uint32_t frameSize;           /* data bytes per SAR read frame, 1..65535; 0: 500 */
    /* When a sink's callback has not returned after this long, the next events go out on a
     * standby delivery thread, as the platform's thread pool would (a client that waits inside
     * a callback for another completion then still gets it); 0: never, one thread only. */
    uint32_t handOverMs;
    const wchar_t* logFile;       /* command log appended here, one line per entry; null: none */
} SimModemSettings;

typedef struct SimModemInterface {
    const wchar_t* interfaceId;  /* braced GUID text; null: one made from the index */
    const wchar_t* model;        /* null: "Nuvik HX730R-GL" */
    const wchar_t* manufacturer; /* null: "Nuvik" */
    const wchar_t* firmware;     /* null: "HX730R.01.00" */
    const wchar_t* deviceId;     /* null: "351234567890123" */
    uint32_t hardwareRadio;      /* MBN_RADIO */
    uint32_t softwareRadio;      /* MBN_RADIO */
    uint32_t registerState;      /* MBN_REGISTER_STATE */
    const wchar_t* providerId;   /* null: "26201" */
    const wchar_t* providerName; /* null: "Sim Network" */
    const wchar_t* services;     /* ids, each NUL-terminated, list ends with an empty one; null: all four */
    uint32_t present;            /* 0: added as removed (arrives with SimModem_ArriveInterface) */
    uint32_t maxCommandSize;     /* 0: 4096; SetCommand/QueryCommand data must be smaller */
    uint32_t maxDataSize;        /* 0: 4096 */
    /* What the modem has stored at start. */
    const uint8_t* sarImage;
    uint32_t sarImageLength;
    uint32_t tableIndex; /* low 16 bits kept */
    uint32_t tableCrc;   /* low 16 bits kept */
    uint32_t sarEnable;
    const uint8_t* sarConfig; /* a SAR configuration set payload; null: mode 0, back-off 0, one state {0, 0} */
    uint32_t sarConfigLength;
} SimModemInterface;

typedef struct SimModemFault {
    uint32_t kind;           /* SimModemFaultKind */
    uint32_t method;         /* SimModemMethod, SIMMODEM_FAULT_HRESULT only */
    uint32_t interfaceIndex; /* SIMMODEM_ANY or one interface */
    const wchar_t* service;  /* null or "": any; compared without regard to case */
    uint32_t cid;            /* SIMMODEM_ANY or one command id */
    uint32_t op;             /* SimModemOp: which requests a completion fault matches */
    uint32_t sink;           /* SimModemSink or SIMMODEM_ANY: connection-point method filter */
    uint32_t count;          /* matches it applies to, then it is gone; SIMMODEM_ALWAYS: for good.
                              * SIMMODEM_FAULT_REMOVE_AFTER: the number of the matching command that triggers it. */
    int32_t hr;              /* HRESULT or completion status */
    const uint8_t* reply;    /* SIMMODEM_FAULT_REPLY */
    uint32_t replyLength;
    uint32_t rearriveMs;     /* SIMMODEM_FAULT_REMOVE_AFTER */
    uint32_t delayMs;        /* SIMMODEM_FAULT_DELAY (added in API version 2) */
} SimModemFault;

typedef struct SimModemLogEntry {
    uint32_t sequence;       /* 1, 2, ... since the last reset */
    uint32_t interfaceIndex;
    uint32_t op;             /* SimModemOp */
    uint32_t cid;            /* 0 for sessions and radio */
    uint32_t requestId;
    wchar_t service[40];     /* the service id as the modem lists it; empty for radio */
    uint32_t payloadLength;
} SimModemLogEntry;

typedef struct SimModemSarConfig {
    uint32_t mode;
    uint32_t backOffStatus;
    uint32_t wifiIntegration;
    uint32_t elementCount;
    struct {
        uint32_t antennaIndex;
        uint32_t backOffIndex;
    } states[16];
} SimModemSarConfig;

typedef struct SimModemDiagState {
    uint32_t tableIndex;
    uint32_t tableCrc;
    uint32_t sarEnable;
    uint32_t imageLength;
} SimModemDiagState;

typedef struct SimModemTxState {
    uint32_t notificationEnabled;
    uint32_t hysteresis;
    uint32_t transmitting;
} SimModemTxState;

/* Exported by name through SimModem.def; reach them with GetProcAddress. */
#define SIMMODEM_API

/* SIMMODEM_API_VERSION of the DLL. */
SIMMODEM_API uint32_t SimModem_GetApiVersion(void);
/* Forgets everything (interfaces, faults, log, advised sinks stay with their objects) and
 * applies the settings (null: defaults 1 ms, 50 ms, 100 ms, 500, 100 ms, no log file). Objects
 * handed out before answer as if their interface had been removed for good. */
SIMMODEM_API int32_t SimModem_Reset(const SimModemSettings* settings);
/* Adds an interface; raises the arrival events when raiseArrival and present. The new index, or -1. */
SIMMODEM_API int32_t SimModem_AddInterface(const SimModemInterface* config, uint32_t raiseArrival);
SIMMODEM_API uint32_t SimModem_GetInterfaceCount(void);
SIMMODEM_API int32_t SimModem_GetInterfaceId(uint32_t index, wchar_t* buffer, uint32_t capacity);
/* 1 present, 0 removed, -1 no such interface. */
SIMMODEM_API int32_t SimModem_IsInterfacePresent(uint32_t index);
/* Removal and arrival with all their events (nothing happens when already in that state). */
SIMMODEM_API int32_t SimModem_RemoveInterface(uint32_t index);
SIMMODEM_API int32_t SimModem_ArriveInterface(uint32_t index);
/* hardware, software: MBN_RADIO, or -1 to leave it; a change raises OnRadioStateChange. */
SIMMODEM_API int32_t SimModem_SetRadio(uint32_t index, int32_t hardware, int32_t software);
/* Null strings are left as they are; raises OnRegisterStateChange. */
SIMMODEM_API int32_t SimModem_SetRegistration(uint32_t index, uint32_t state, const wchar_t* providerId,
                                              const wchar_t* providerName);
/* Null strings are left as they are. */
SIMMODEM_API int32_t SimModem_SetModel(uint32_t index, const wchar_t* model, const wchar_t* manufacturer,
                                       const wchar_t* firmware);
/* The listed device services, as in SimModemInterface::services. */
SIMMODEM_API int32_t SimModem_SetServices(uint32_t index, const wchar_t* services);
/* The modem starts (1) or stops (0) transmitting; notified when the host enabled it. */
SIMMODEM_API int32_t SimModem_SetTransmitting(uint32_t index, uint32_t transmitting);
/* Replaces the stored diag state and SAR image (image null: left as it is). */
SIMMODEM_API int32_t SimModem_SetDiagState(uint32_t index, const SimModemDiagState* state, const uint8_t* image,
                                           uint32_t imageLength);
SIMMODEM_API int32_t SimModem_AddFault(const SimModemFault* fault);
SIMMODEM_API void SimModem_ClearFaults(void);
/* One change in the text form of the control key (README); 0 applied, -1 not understood. */
SIMMODEM_API int32_t SimModem_ApplyChange(const wchar_t* text);

SIMMODEM_API uint32_t SimModem_GetLogCount(void);
/* Entry index (0-based); its payload is copied to payload when capacity allows (payloadLength always set). */
SIMMODEM_API int32_t SimModem_GetLogEntry(uint32_t index, SimModemLogEntry* entry, uint8_t* payload,
                                          uint32_t capacity);
/* Waits until the log holds count entries whose op is in opMask; 0 reached, -1 timed out. */
SIMMODEM_API int32_t SimModem_WaitForLog(uint32_t opMask, uint32_t count, uint32_t timeoutMs);
/* Waits until every scheduled completion, notification, removal and arrival has been delivered
 * (held completions are not scheduled: it does not wait for them). */
SIMMODEM_API int32_t SimModem_WaitIdle(uint32_t timeoutMs);

SIMMODEM_API int32_t SimModem_GetSarConfig(uint32_t index, SimModemSarConfig* config);
SIMMODEM_API int32_t SimModem_GetDiagState(uint32_t index, SimModemDiagState* state);
/* The stored SAR image; -1 also when capacity is too small (length then holds the size). */
SIMMODEM_API int32_t SimModem_GetSarImage(uint32_t index, uint8_t* buffer, uint32_t capacity, uint32_t* length);
SIMMODEM_API int32_t SimModem_GetTxState(uint32_t index, SimModemTxState* state);

/* Sinks advised now, over all live objects. */
SIMMODEM_API uint32_t SimModem_GetAdvisedCount(uint32_t sink);
SIMMODEM_API uint32_t SimModem_GetObjectCount(uint32_t kind);
/* SimModemDelivery for the events from now on (a reset goes back to SAME); -1 for an unknown mode. */
SIMMODEM_API int32_t SimModem_SetDelivery(uint32_t mode);
SIMMODEM_API uint32_t SimModem_GetDelivery(void);
/* Device-service objects of the interface with an open command session (service null: any). */
SIMMODEM_API uint32_t SimModem_GetOpenSessionCount(uint32_t index, const wchar_t* service);
/* The delivery thread that carries events unless one was handed over. */
SIMMODEM_API uint32_t SimModem_GetPrimaryThreadId(void);
/* 1 when the thread is one of the simulator's delivery threads. */
SIMMODEM_API int32_t SimModem_IsDeliveryThread(uint32_t threadId);
/* Lets the count oldest completions held by SIMMODEM_FAULT_HOLD go (SIMMODEM_ALL: every one), in the
 * order they were held, each then going out as an undelayed completion would; the number let go. */
SIMMODEM_API uint32_t SimModem_ReleaseHeld(uint32_t count);
/* Completions held now. */
SIMMODEM_API uint32_t SimModem_GetHeldCount(void);
/* Waits until at least count completions are held; 0 reached, -1 timed out. */
SIMMODEM_API int32_t SimModem_WaitForHeld(uint32_t count, uint32_t timeoutMs);

/* Function pointer types, for GetProcAddress. */
typedef uint32_t(__cdecl* PFN_SimModem_GetApiVersion)(void);
typedef int32_t(__cdecl* PFN_SimModem_Reset)(const SimModemSettings*);
typedef int32_t(__cdecl* PFN_SimModem_AddInterface)(const SimModemInterface*, uint32_t);
typedef uint32_t(__cdecl* PFN_SimModem_GetInterfaceCount)(void);
typedef int32_t(__cdecl* PFN_SimModem_GetInterfaceId)(uint32_t, wchar_t*, uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_IsInterfacePresent)(uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_RemoveInterface)(uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_ArriveInterface)(uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_SetRadio)(uint32_t, int32_t, int32_t);
typedef int32_t(__cdecl* PFN_SimModem_SetRegistration)(uint32_t, uint32_t, const wchar_t*, const wchar_t*);
typedef int32_t(__cdecl* PFN_SimModem_SetModel)(uint32_t, const wchar_t*, const wchar_t*, const wchar_t*);
typedef int32_t(__cdecl* PFN_SimModem_SetServices)(uint32_t, const wchar_t*);
typedef int32_t(__cdecl* PFN_SimModem_SetTransmitting)(uint32_t, uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_SetDiagState)(uint32_t, const SimModemDiagState*, const uint8_t*, uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_AddFault)(const SimModemFault*);
typedef void(__cdecl* PFN_SimModem_ClearFaults)(void);
typedef int32_t(__cdecl* PFN_SimModem_ApplyChange)(const wchar_t*);
typedef uint32_t(__cdecl* PFN_SimModem_GetLogCount)(void);
typedef int32_t(__cdecl* PFN_SimModem_GetLogEntry)(uint32_t, SimModemLogEntry*, uint8_t*, uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_WaitForLog)(uint32_t, uint32_t, uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_WaitIdle)(uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_GetSarConfig)(uint32_t, SimModemSarConfig*);
typedef int32_t(__cdecl* PFN_SimModem_GetDiagState)(uint32_t, SimModemDiagState*);
typedef int32_t(__cdecl* PFN_SimModem_GetSarImage)(uint32_t, uint8_t*, uint32_t, uint32_t*);
typedef int32_t(__cdecl* PFN_SimModem_GetTxState)(uint32_t, SimModemTxState*);
typedef uint32_t(__cdecl* PFN_SimModem_GetAdvisedCount)(uint32_t);
typedef uint32_t(__cdecl* PFN_SimModem_GetObjectCount)(uint32_t);
typedef int32_t(__cdecl* PFN_SimModem_SetDelivery)(uint32_t);
typedef uint32_t(__cdecl* PFN_SimModem_GetDelivery)(void);
typedef uint32_t(__cdecl* PFN_SimModem_GetOpenSessionCount)(uint32_t, const wchar_t*);
typedef uint32_t(__cdecl* PFN_SimModem_GetPrimaryThreadId)(void);
typedef int32_t(__cdecl* PFN_SimModem_IsDeliveryThread)(uint32_t);
typedef uint32_t(__cdecl* PFN_SimModem_ReleaseHeld)(uint32_t);
typedef uint32_t(__cdecl* PFN_SimModem_GetHeldCount)(void);
typedef int32_t(__cdecl* PFN_SimModem_WaitForHeld)(uint32_t, uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* SIMMODEM_CONTROL_H */
