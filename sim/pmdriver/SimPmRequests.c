#include "SimPmRequests.h"

#include "SimPmNames.h"

/* Answer words of the radio device: the same code for state and switch. */
#define RADIO_ON_OR_NORMAL 0x100u
#define RADIO_OFF_OR_REDUCED 0x10u
#define BIT_PSENSOR_PRESENT 0x1u
#define BIT_PSENSOR_DETECTION 0x2u
#define BIT_THERMOVA 0x20000u

static SIMPM_RESULT AnswerSensors(unsigned long code, unsigned long input, const SIMPM_STATE* state,
                                  unsigned long* output) {
    if (code == SIMPM_IOCTL_PSENSOR) {
        if (input != 0) return SIMPM_BAD_INPUT;
        *output = (state->psensorPresent ? BIT_PSENSOR_PRESENT : 0) |
                  (state->psensorDetection ? BIT_PSENSOR_DETECTION : 0);
        return SIMPM_OK;
    }
    if (code == SIMPM_IOCTL_THERMOVA) {
        if (input == 3) {
            *output = state->thermovaPresent ? BIT_THERMOVA : 0;
            return SIMPM_OK;
        }
        if (input == 2) {
            *output = state->thermovaUnstable ? BIT_THERMOVA : 0;
            return SIMPM_OK;
        }
        return SIMPM_BAD_INPUT;
    }
    return SIMPM_BAD_CODE;
}

/* Upper 16 bits of the input: 0 get radio, 1 set radio, 2 get WLAN power,
   3 set WLAN power; lower 16 bits: the state to set, 0 for the gets. */
static SIMPM_RESULT AnswerRadio(unsigned long code, unsigned long input, SIMPM_STATE* state,
                                unsigned long* output) {
    if (code != SIMPM_IOCTL_RADIO) return SIMPM_BAD_CODE;
    unsigned long operation = input >> 16;
    unsigned long value = input & 0xFFFFu;
    if ((operation == 0 || operation == 2) && value != 0) return SIMPM_BAD_INPUT;
    if ((operation == 1 || operation == 3) && value != RADIO_ON_OR_NORMAL && value != RADIO_OFF_OR_REDUCED)
        return SIMPM_BAD_INPUT;
    switch (operation) {
    case 0:
        *output = state->radioOn ? RADIO_ON_OR_NORMAL : RADIO_OFF_OR_REDUCED;
        return SIMPM_OK;
    case 1:
        state->radioOn = value == RADIO_ON_OR_NORMAL;
        *output = 0;
        return SIMPM_RADIO_CHANGED;
    case 2:
        *output = state->wlanReduced ? RADIO_OFF_OR_REDUCED : RADIO_ON_OR_NORMAL;
        return SIMPM_OK;
    case 3:
        state->wlanReduced = value == RADIO_OFF_OR_REDUCED;
        *output = 0;
        return SIMPM_WLAN_CHANGED;
    default:
        return SIMPM_BAD_INPUT;
    }
}

SIMPM_RESULT SimPmAnswer(SIMPM_DEVICE device, unsigned long code, unsigned long input, SIMPM_STATE* state,
                         unsigned long* output) {
    *output = 0;
    if (device == SIMPM_DEV_SENSORS) return AnswerSensors(code, input, state, output);
    return AnswerRadio(code, input, state, output);
}
