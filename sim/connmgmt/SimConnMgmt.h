// Control interface of the simulated connection-management library
// "ConnectionMgmt.dll". A test loads the very DLL the product loads (same path,
// so the same instance) and drives it through these extra exports.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// The library's entry points, as the call records and faults name them.
enum SimCmCall {
    SIMCM_CALL_ANY = 0,
    SIMCM_CALL_GOBI_CONNECT = 1,
    SIMCM_CALL_GOBI_DISCONNECT = 2,
    SIMCM_CALL_SET_CTL_MODE = 3,
    SIMCM_CALL_GET_CTL_MODE = 4,
    SIMCM_CALL_SAR_RF_SET_STATE = 5,
    SIMCM_CALL_SAR_RF_GET_STATE = 6,
    SIMCM_CALL_SET_STATE_MODE = 7,
    SIMCM_CALL_GET_STATE_MODE = 8,
    SIMCM_CALL_GET_TARVO_INFO = 9,
    SIMCM_CALL_SET_TARVO_INFO = 10,
    SIMCM_CALL_WDS_SET_EVENT_REPORT = 11,
    SIMCM_CALL_SET_GENERIC_CALLBACK = 12,
};

// Statuses of the simulated library (0 is success).
enum SimCmStatus {
    SIMCM_E_INVALID_ARGUMENT = 1001,  // a null pointer where the call needs one
    SIMCM_E_NOT_CONNECTED = 1002,     // a device handle that no connect handed out
    SIMCM_E_NO_DEVICE = 1003,         // connect with an empty device id
    SIMCM_E_NOT_FOUND = 1004,         // a read of a row the module table lacks
    SIMCM_E_MALFORMED = 1005,         // a request whose elements do not decode
    SIMCM_E_BUFFER_TOO_SMALL = 1006,  // the response buffer cannot hold the reply
};

// A row of the module's band table: 10 packed bytes, little-endian.
#pragma pack(push, 1)
typedef struct SimCmRow {
    ULONG tech;
    BYTE band;
    BYTE band2;
    USHORT value1;
    USHORT value2;
} SimCmRow;
#pragma pack(pop)

enum SimCmFaultFlags {
    // Only Tarvo-info requests that name this row (tech, band, band2) match.
    SIMCM_FAULT_MATCH_ROW = 0x1,
    // Connect: report the status with a count of 0 and no device handle.
    SIMCM_FAULT_COUNT_ZERO = 0x2,
};

// One injected fault, 32 bytes (also the record layout of the registry value
// "Faults"). A call matches when its entry point is call (or call is ANY) and,
// with SIMCM_FAULT_MATCH_ROW, its request names the row; the first skip
// matching calls go through, then the next times calls (every one when times
// is 0) return status without doing anything: a faulted call reports a
// received length of 0, so a fault with status 0 is an empty success.
typedef struct SimCmFault {
    ULONG call;
    ULONG status;
    ULONG skip;
    ULONG times;
    ULONG flags;
    ULONG tech;
    ULONG band;
    ULONG band2;
} SimCmFault;

#define SIMCM_ABSENT 0xFFFFFFFFu
#define SIMCM_RECORD_REQUEST_BYTES 64

// One call as it reached the library, with what the library made of it.
typedef struct SimCmCallRecord {
    ULONG call;
    ULONG status;  // what the call returned
    ULONGLONG handle;
    ULONG timeoutMs;
    ULONG requestLength;
    BYTE request[SIMCM_RECORD_REQUEST_BYTES];  // the first bytes of the request
    BOOL hasResponseBuffer;
    ULONG responseSize;    // buffer size on entry
    ULONG responseLength;  // length reported back
    // Decoded from the request's elements; SIMCM_ABSENT when not there.
    ULONG tech, band, band2, mode;
    ULONG valueCount, value1, value2;
    // Connect only.
    WCHAR deviceId[64];
    ULONG countIn;
    ULONG options[4];
} SimCmCallRecord;

// Forgets everything, then takes the start state from the registry.
typedef void (*SimCm_ResetFn)(void);
// Replaces the module table; rows are 10-byte SimCmRow records.
typedef void (*SimCm_SetModuleTableFn)(const SimCmRow* rows, ULONG count);
// Copies up to maxRows rows; returns how many the module holds.
typedef ULONG (*SimCm_GetModuleTableFn)(SimCmRow* rows, ULONG maxRows);
typedef void (*SimCm_SetControlModeFn)(ULONG mode);
// SIMCM_ABSENT until a mode was set.
typedef ULONG (*SimCm_GetControlModeFn)(void);
typedef void (*SimCm_AddFaultFn)(const SimCmFault* fault);
typedef void (*SimCm_ClearFaultsFn)(void);
// Calls of one entry point so far; SIMCM_CALL_ANY counts all.
typedef ULONG (*SimCm_GetCallCountFn)(ULONG call);
// FALSE when index is past the last call.
typedef BOOL (*SimCm_GetCallRecordFn)(ULONG index, SimCmCallRecord* record);
typedef void (*SimCm_ClearCallsFn)(void);
// Device handles handed out and not yet disconnected.
typedef ULONG (*SimCm_GetOpenHandleCountFn)(void);

#ifdef __cplusplus
}
#endif

#define SIMCM_REGISTRY_KEY L"Software\\TarvoSim\\ConnectionMgmt"
