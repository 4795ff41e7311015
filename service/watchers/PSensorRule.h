// How one change of "Type2" reads, by the rule of the modem's model. Pure: the
// driver's reading comes through a callback, asked only where the bits cannot
// tell where the sensor is.
#pragma once

#include <windows.h>
#include <functional>
#include <string>

enum class PSensorRule {
    None,          // another model: changes are ignored
    FoxconnLevel,  // bit 25 set means away
    NuvikToggle,   // bit 25 toggles on each approach, bit 26 on each departure
};

enum class PSensorOutcome { Proximity, Away, Unknown, Ignored };

// The rule of a model name that begins with one of the known models' names.
PSensorRule PSensorRuleOf(const std::wstring& model);

// lastState: what the watcher last notified (1 near, 0 away, -1 nothing yet).
// reading: the driver's detection (1 near, 0 away, -1 no answer).
PSensorOutcome ClassifyPSensorChange(PSensorRule rule, DWORD prev, DWORD cur, int lastState,
                                     const std::function<int()>& reading);
