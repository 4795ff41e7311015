/* Names shared by the simulated power-management driver and its control
   library: service, devices, requests and the registry values that hold the
   driver's state. Plain C, so the driver can include it. */
#pragma once

#define SIMPM_SERVICE_NAME "TarvoSimPm"
#define SIMPM_SERVICE_KEY "SYSTEM\\CurrentControlSet\\Services\\" SIMPM_SERVICE_NAME
#define SIMPM_SYS_FILE SIMPM_SERVICE_NAME ".sys"

/* The devices as the product opens them ("\\.\X") and as the driver names them. */
#define SIMPM_DEVICE_SENSORS "DADORUZAR"
#define SIMPM_DEVICE_RADIO "ZOVEVI"

#define SIMPM_IOCTL_PSENSOR 0x222690u
#define SIMPM_IOCTL_THERMOVA 0x22270Cu
#define SIMPM_IOCTL_RADIO 0x222804u

/* State, DWORD values directly under the service key; 0 or 1. Read on every
   request; an absent or malformed value counts as its default. */
#define SIMPM_VALUE_PSENSOR_PRESENT "PSensorPresent"     /* default 1 */
#define SIMPM_VALUE_PSENSOR_DETECTION "PSensorDetection" /* default 0 */
#define SIMPM_VALUE_THERMOVA_PRESENT "ThermovaPresent"   /* default 1 */
#define SIMPM_VALUE_THERMOVA_UNSTABLE "ThermovaUnstable" /* default 0 */
#define SIMPM_VALUE_RADIO_ON "RadioOn"                   /* default 1; written by the radio sets */
#define SIMPM_VALUE_WLAN_REDUCED "WlanReduced"           /* default 0; written by the WLAN sets */

#define SIMPM_DEFAULT_PSENSOR_PRESENT 1
#define SIMPM_DEFAULT_PSENSOR_DETECTION 0
#define SIMPM_DEFAULT_THERMOVA_PRESENT 1
#define SIMPM_DEFAULT_THERMOVA_UNSTABLE 0
#define SIMPM_DEFAULT_RADIO_ON 1
#define SIMPM_DEFAULT_WLAN_REDUCED 0

/* Faults. A request whose control code equals "FailCode" (and, when
   "FailInput" is present, whose input word equals it) fails with
   STATUS_UNSUCCESSFUL, which DeviceIoControl reports as ERROR_GEN_FAILURE. */
#define SIMPM_VALUE_FAIL_CODE "FailCode"
#define SIMPM_VALUE_FAIL_INPUT "FailInput"
/* A request matching "AnswerCode" (and "AnswerInput" when present) succeeds
   with the output word "AnswerOutput" and changes nothing. */
#define SIMPM_VALUE_ANSWER_CODE "AnswerCode"
#define SIMPM_VALUE_ANSWER_INPUT "AnswerInput"
#define SIMPM_VALUE_ANSWER_OUTPUT "AnswerOutput"
/* A request matching "HoldCode" (and "HoldInput" when present) is held: it is
   not answered until the control device lets it go, and then answered from the
   state and faults of that moment. Wins over the other faults. */
#define SIMPM_VALUE_HOLD_CODE "HoldCode"
#define SIMPM_VALUE_HOLD_INPUT "HoldInput"

/* Written by the driver: the number of device-control requests that have
   reached it, held ones included. */
#define SIMPM_VALUE_REQUEST_COUNT "RequestCount"

/* The simulator's own device, which the product never opens: it lets held
   requests go and counts them. Both codes take a 4-byte input and give a
   4-byte output. RELEASE_HELD: input how many of the oldest to let go
   (SIMPM_RELEASE_ALL: all), output how many went. HELD_COUNT: output the number
   held now. */
#define SIMPM_DEVICE_CONTROL "TarvoSimPmControl"
#define SIMPM_IOCTL_RELEASE_HELD 0x223C00u
#define SIMPM_IOCTL_HELD_COUNT 0x223C04u
#define SIMPM_RELEASE_ALL 0xFFFFFFFFu

#define SIMPM_WIDEN_(s) L##s
#define SIMPM_WIDEN(s) SIMPM_WIDEN_(s)
