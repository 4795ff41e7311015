/* Kernel-mode stand-in for the machine maker's power-management driver, for
   Wine's winedevice.exe. It creates the devices DADORUZAR (P-sensor, Thermova)
   and ZOVEVI (WWAN radio, WLAN transmit power) and answers their control
   codes from DWORD values under its own service key, read on every request,
   so a test changes the answers by writing the registry. */
#include <ntddk.h>

#include "SimPmNames.h"
#include "SimPmRequests.h"

#define SIMPM_POOL_TAG 0x6D507354u /* "TsPm" */

static UNICODE_STRING g_serviceKey;
static PDEVICE_OBJECT g_sensorsDevice;
static PDEVICE_OBJECT g_radioDevice;

/* The registry path that DriverEntry receives is not ours to keep. */
static NTSTATUS CopyServiceKey(PCUNICODE_STRING registryPath) {
    g_serviceKey.Length = 0;
    g_serviceKey.MaximumLength = registryPath->Length + sizeof(WCHAR);
    g_serviceKey.Buffer = ExAllocatePoolWithTag(NonPagedPool, g_serviceKey.MaximumLength, SIMPM_POOL_TAG);
    if (g_serviceKey.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyUnicodeString(&g_serviceKey, registryPath);
    return STATUS_SUCCESS;
}

/* A DWORD value, or FALSE when it is absent or not a 4-byte REG_DWORD. */
static BOOLEAN QueryDword(HANDLE key, const WCHAR* name, ULONG* value) {
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } buffer;
    UNICODE_STRING valueName;
    ULONG length = 0;
    RtlInitUnicodeString(&valueName, name);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &buffer, sizeof(buffer), &length)))
        return FALSE;
    if (buffer.info.Type != REG_DWORD || buffer.info.DataLength != sizeof(ULONG)) return FALSE;
    RtlCopyMemory(value, buffer.info.Data, sizeof(ULONG));
    return TRUE;
}

static ULONG QueryFlag(HANDLE key, const WCHAR* name, ULONG fallback) {
    ULONG value = 0;
    if (!QueryDword(key, name, &value)) return fallback;
    return value != 0;
}

static void SetDword(HANDLE key, const WCHAR* name, ULONG value) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
}

static void ReadState(HANDLE key, SIMPM_STATE* state) {
    state->psensorPresent =
        QueryFlag(key, SIMPM_WIDEN(SIMPM_VALUE_PSENSOR_PRESENT), SIMPM_DEFAULT_PSENSOR_PRESENT);
    state->psensorDetection =
        QueryFlag(key, SIMPM_WIDEN(SIMPM_VALUE_PSENSOR_DETECTION), SIMPM_DEFAULT_PSENSOR_DETECTION);
    state->thermovaPresent =
        QueryFlag(key, SIMPM_WIDEN(SIMPM_VALUE_THERMOVA_PRESENT), SIMPM_DEFAULT_THERMOVA_PRESENT);
    state->thermovaUnstable =
        QueryFlag(key, SIMPM_WIDEN(SIMPM_VALUE_THERMOVA_UNSTABLE), SIMPM_DEFAULT_THERMOVA_UNSTABLE);
    state->radioOn = QueryFlag(key, SIMPM_WIDEN(SIMPM_VALUE_RADIO_ON), SIMPM_DEFAULT_RADIO_ON);
    state->wlanReduced = QueryFlag(key, SIMPM_WIDEN(SIMPM_VALUE_WLAN_REDUCED), SIMPM_DEFAULT_WLAN_REDUCED);
}

/* A fault value pair matches when its code equals the request's and its
   input, if present, equals the request's input. */
static BOOLEAN FaultMatches(HANDLE key, const WCHAR* codeName, const WCHAR* inputName, ULONG code, ULONG input) {
    ULONG faultCode = 0, faultInput = 0;
    if (!QueryDword(key, codeName, &faultCode) || faultCode != code) return FALSE;
    return !QueryDword(key, inputName, &faultInput) || faultInput == input;
}

static NTSTATUS Answer(SIMPM_DEVICE device, ULONG code, ULONG input, ULONG* output) {
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;
    SIMPM_STATE state;
    ULONG count = 0;
    NTSTATUS status;

    InitializeObjectAttributes(&attributes, &g_serviceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&key, KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes);
    if (!NT_SUCCESS(status)) return STATUS_DEVICE_NOT_READY;

    QueryDword(key, SIMPM_WIDEN(SIMPM_VALUE_REQUEST_COUNT), &count);
    SetDword(key, SIMPM_WIDEN(SIMPM_VALUE_REQUEST_COUNT), count + 1);

    if (FaultMatches(key, SIMPM_WIDEN(SIMPM_VALUE_FAIL_CODE), SIMPM_WIDEN(SIMPM_VALUE_FAIL_INPUT), code, input)) {
        status = STATUS_UNSUCCESSFUL;
    } else if (FaultMatches(key, SIMPM_WIDEN(SIMPM_VALUE_ANSWER_CODE), SIMPM_WIDEN(SIMPM_VALUE_ANSWER_INPUT), code,
                            input)) {
        *output = 0;
        QueryDword(key, SIMPM_WIDEN(SIMPM_VALUE_ANSWER_OUTPUT), output);
        status = STATUS_SUCCESS;
    } else {
        ReadState(key, &state);
        switch (SimPmAnswer(device, code, input, &state, output)) {
        case SIMPM_OK:
            status = STATUS_SUCCESS;
            break;
        case SIMPM_RADIO_CHANGED:
            SetDword(key, SIMPM_WIDEN(SIMPM_VALUE_RADIO_ON), state.radioOn);
            status = STATUS_SUCCESS;
            break;
        case SIMPM_WLAN_CHANGED:
            SetDword(key, SIMPM_WIDEN(SIMPM_VALUE_WLAN_REDUCED), state.wlanReduced);
            status = STATUS_SUCCESS;
            break;
        case SIMPM_BAD_CODE:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
        }
    }
    ZwClose(key);
    return status;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* METHOD_BUFFERED: the input word and the output word share SystemBuffer. */
static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG* buffer = (ULONG*)irp->AssociatedIrp.SystemBuffer;
    ULONG input = 0, output = 0;
    NTSTATUS status;

    if (buffer == NULL || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);

    RtlCopyMemory(&input, buffer, sizeof(input));
    status = Answer(device == g_radioDevice ? SIMPM_DEV_RADIO : SIMPM_DEV_SENSORS, code, input, &output);
    if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
    RtlCopyMemory(buffer, &output, sizeof(output));
    return Complete(irp, STATUS_SUCCESS, sizeof(output));
}

static void DeleteDevice(PDEVICE_OBJECT* device, const WCHAR* link) {
    UNICODE_STRING linkName;
    if (*device == NULL) return;
    RtlInitUnicodeString(&linkName, link);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(*device);
    *device = NULL;
}

static void NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    (void)driver;
    DeleteDevice(&g_sensorsDevice, L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_SENSORS));
    DeleteDevice(&g_radioDevice, L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_RADIO));
    if (g_serviceKey.Buffer != NULL) ExFreePoolWithTag(g_serviceKey.Buffer, SIMPM_POOL_TAG);
    g_serviceKey.Buffer = NULL;
}

static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, const WCHAR* name, const WCHAR* link, PDEVICE_OBJECT* device) {
    UNICODE_STRING deviceName, linkName;
    NTSTATUS status;
    RtlInitUnicodeString(&deviceName, name);
    RtlInitUnicodeString(&linkName, link);
    status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*device);
        *device = NULL;
        return status;
    }
    (*device)->Flags |= DO_BUFFERED_IO;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    NTSTATUS status = CopyServiceKey(registryPath);
    if (!NT_SUCCESS(status)) return status;

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;

    status = CreateDevice(driver, L"\\Device\\" SIMPM_WIDEN(SIMPM_DEVICE_SENSORS),
                          L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_SENSORS), &g_sensorsDevice);
    if (NT_SUCCESS(status))
        status = CreateDevice(driver, L"\\Device\\" SIMPM_WIDEN(SIMPM_DEVICE_RADIO),
                              L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_RADIO), &g_radioDevice);
    if (!NT_SUCCESS(status)) DriverUnload(driver);
    return status;
}
