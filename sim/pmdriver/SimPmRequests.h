/* The request table of the simulated power-management driver, apart from the
   kernel plumbing: a device, a control code and an input word give an output
   word and perhaps a changed state. */
#pragma once

typedef enum {
    SIMPM_DEV_SENSORS, /* "\\.\DADORUZAR": P-sensor and Thermova */
    SIMPM_DEV_RADIO,   /* "\\.\ZOVEVI": WWAN radio and WLAN transmit power */
} SIMPM_DEVICE;

typedef struct {
    unsigned long psensorPresent;
    unsigned long psensorDetection;
    unsigned long thermovaPresent;
    unsigned long thermovaUnstable;
    unsigned long radioOn;
    unsigned long wlanReduced;
} SIMPM_STATE;

typedef enum {
    SIMPM_OK,
    SIMPM_RADIO_CHANGED, /* done; radioOn changed and must be written back */
    SIMPM_WLAN_CHANGED,  /* done; wlanReduced changed and must be written back */
    SIMPM_BAD_CODE,      /* the device has no such control code */
    SIMPM_BAD_INPUT,     /* the control code has no such input word */
} SIMPM_RESULT;

SIMPM_RESULT SimPmAnswer(SIMPM_DEVICE device, unsigned long code, unsigned long input, SIMPM_STATE* state,
                         unsigned long* output);
