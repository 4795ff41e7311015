/* Kernel-mode stand-in for the machine maker's power-management driver, for
   Wine's winedevice.exe. It creates the devices DADORUZAR (P-sensor, Thermova)
   and ZOVEVI (WWAN radio, WLAN transmit power) and answers their control
   codes from DWORD values under its own service key, read on every request,
   so a test changes the answers by writing the registry. A request that the
   hold fault takes is pended in a list until the control device
   TarvoSimPmControl lets it go, so the dispatch routine never blocks and other
   requests are answered meanwhile. */
#include <ntddk.h>

#include "SimPmNames.h"
#include "SimPmRequests.h"

#define SIMPM_POOL_TAG 0x6D507354u /* "TsPm" */

static UNICODE_STRING g_serviceKey;
static PDEVICE_OBJECT g_sensorsDevice;
static PDEVICE_OBJECT g_radioDevice;
static PDEVICE_OBJECT g_controlDevice;

/* Held requests, oldest first, linked through Tail.Overlay.ListEntry. The list,
   its count and the unloading flag are guarded by the lock. Wine 8 has no
   cancel-safe queue (IoCsqRemoveNextIrp is a stub that aborts the process), so
   the cancel routine is set and taken under the lock by hand. */
static LIST_ENTRY g_heldList;
static KSPIN_LOCK g_heldLock;
static ULONG g_heldCount;
static BOOLEAN g_unloading;

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

static NTSTATUS OpenServiceKey(HANDLE* key) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &g_serviceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwOpenKey(key, KEY_QUERY_VALUE | KEY_SET_VALUE, &attributes);
}

static NTSTATUS Answer(HANDLE key, SIMPM_DEVICE device, ULONG code, ULONG input, ULONG* output) {
    SIMPM_STATE state;

    if (FaultMatches(key, SIMPM_WIDEN(SIMPM_VALUE_FAIL_CODE), SIMPM_WIDEN(SIMPM_VALUE_FAIL_INPUT), code, input))
        return STATUS_UNSUCCESSFUL;
    if (FaultMatches(key, SIMPM_WIDEN(SIMPM_VALUE_ANSWER_CODE), SIMPM_WIDEN(SIMPM_VALUE_ANSWER_INPUT), code, input)) {
        *output = 0;
        QueryDword(key, SIMPM_WIDEN(SIMPM_VALUE_ANSWER_OUTPUT), output);
        return STATUS_SUCCESS;
    }
    ReadState(key, &state);
    switch (SimPmAnswer(device, code, input, &state, output)) {
    case SIMPM_OK:
        return STATUS_SUCCESS;
    case SIMPM_RADIO_CHANGED:
        SetDword(key, SIMPM_WIDEN(SIMPM_VALUE_RADIO_ON), state.radioOn);
        return STATUS_SUCCESS;
    case SIMPM_WLAN_CHANGED:
        SetDword(key, SIMPM_WIDEN(SIMPM_VALUE_WLAN_REDUCED), state.wlanReduced);
        return STATUS_SUCCESS;
    case SIMPM_BAD_CODE:
        return STATUS_INVALID_DEVICE_REQUEST;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* METHOD_BUFFERED: the input word and the output word share SystemBuffer. */
static BOOLEAN ReadInput(PIRP irp, ULONG* input) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (irp->AssociatedIrp.SystemBuffer == NULL ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return FALSE;
    RtlCopyMemory(input, irp->AssociatedIrp.SystemBuffer, sizeof(*input));
    return TRUE;
}

static NTSTATUS CompleteWithWord(PIRP irp, ULONG output) {
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &output, sizeof(output));
    return Complete(irp, STATUS_SUCCESS, sizeof(output));
}

/* Answers a request whose buffers ReadInput accepted from the state under key
   (NULL when the key could not be opened) and completes it. */
static NTSTATUS AnswerIrp(PIRP irp, HANDLE key) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SIMPM_DEVICE device = stack->DeviceObject == g_radioDevice ? SIMPM_DEV_RADIO : SIMPM_DEV_SENSORS;
    ULONG input = 0, output = 0;
    NTSTATUS status = STATUS_DEVICE_NOT_READY;

    ReadInput(irp, &input);
    if (key != NULL) status = Answer(key, device, stack->Parameters.DeviceIoControl.IoControlCode, input, &output);
    if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
    return CompleteWithWord(irp, output);
}

/* A caller that cancels its request, or ends, takes it out of the hold. */
static VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_heldLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    --g_heldCount;
    KeReleaseSpinLock(&g_heldLock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

static NTSTATUS Hold(PIRP irp) {
    KIRQL irql;
    BOOLEAN refused;
    KeAcquireSpinLock(&g_heldLock, &irql);
    /* A stopping driver answers nothing more. A request cancelled before its
       cancel routine was set is ours to complete; one cancelled after is listed
       all the same, since its routine waits for the lock to unlist it. */
    refused = g_unloading;
    if (!refused) {
        IoSetCancelRoutine(irp, CancelHeld);
        refused = irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL;
    }
    if (refused) {
        KeReleaseSpinLock(&g_heldLock, irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(irp);
    InsertTailList(&g_heldList, &irp->Tail.Overlay.ListEntry);
    ++g_heldCount;
    KeReleaseSpinLock(&g_heldLock, irql);
    return STATUS_PENDING;
}

/* Takes the oldest held request whose cancel routine has not begun; NULL when
   there is none. Unloading is set on the way, under the same lock. */
static PIRP TakeOldest(BOOLEAN unloading) {
    PLIST_ENTRY entry;
    PIRP irp = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&g_heldLock, &irql);
    if (unloading) g_unloading = TRUE;
    for (entry = g_heldList.Flink; entry != &g_heldList; entry = entry->Flink) {
        PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(candidate, NULL) == NULL) continue;
        RemoveEntryList(entry);
        --g_heldCount;
        irp = candidate;
        break;
    }
    KeReleaseSpinLock(&g_heldLock, irql);
    return irp;
}

static ULONG HeldCount(void) {
    KIRQL irql;
    ULONG count;
    KeAcquireSpinLock(&g_heldLock, &irql);
    count = g_heldCount;
    KeReleaseSpinLock(&g_heldLock, irql);
    return count;
}

/* Lets the count oldest go, each answered from the state of now; the number let go. */
static ULONG ReleaseHeld(ULONG count) {
    HANDLE key = NULL;
    ULONG released = 0;
    PIRP irp;
    if (!NT_SUCCESS(OpenServiceKey(&key))) key = NULL;
    for (; released < count && (irp = TakeOldest(FALSE)) != NULL; ++released) AnswerIrp(irp, key);
    if (key != NULL) ZwClose(key);
    return released;
}

static NTSTATUS DispatchControl(PIRP irp) {
    ULONG input = 0;
    if (!ReadInput(irp, &input)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case SIMPM_IOCTL_RELEASE_HELD:
        return CompleteWithWord(irp, ReleaseHeld(input));
    case SIMPM_IOCTL_HELD_COUNT:
        return CompleteWithWord(irp, HeldCount());
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* Every request that gets this far is counted on arrival, held or not. */
static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    ULONG input = 0, count = 0;
    HANDLE key = NULL;
    NTSTATUS status;

    if (device == g_controlDevice) return DispatchControl(irp);
    if (!ReadInput(irp, &input)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    if (!NT_SUCCESS(OpenServiceKey(&key))) return Complete(irp, STATUS_DEVICE_NOT_READY, 0);

    QueryDword(key, SIMPM_WIDEN(SIMPM_VALUE_REQUEST_COUNT), &count);
    SetDword(key, SIMPM_WIDEN(SIMPM_VALUE_REQUEST_COUNT), count + 1);
    if (FaultMatches(key, SIMPM_WIDEN(SIMPM_VALUE_HOLD_CODE), SIMPM_WIDEN(SIMPM_VALUE_HOLD_INPUT), code, input)) {
        ZwClose(key);
        return Hold(irp);
    }
    status = AnswerIrp(irp, key);
    ZwClose(key);
    return status;
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
    PIRP irp;
    (void)driver;
    while ((irp = TakeOldest(TRUE)) != NULL) Complete(irp, STATUS_CANCELLED, 0);
    DeleteDevice(&g_sensorsDevice, L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_SENSORS));
    DeleteDevice(&g_radioDevice, L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_RADIO));
    DeleteDevice(&g_controlDevice, L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_CONTROL));
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

    InitializeListHead(&g_heldList);
    KeInitializeSpinLock(&g_heldLock);
    g_heldCount = 0;
    g_unloading = FALSE;

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
    if (NT_SUCCESS(status))
        status = CreateDevice(driver, L"\\Device\\" SIMPM_WIDEN(SIMPM_DEVICE_CONTROL),
                              L"\\DosDevices\\" SIMPM_WIDEN(SIMPM_DEVICE_CONTROL), &g_controlDevice);
    if (!NT_SUCCESS(status)) DriverUnload(driver);
    return status;
}
