#include "PSensorRule.h"

#include <cwchar>

namespace {
const wchar_t kModelFoxconn[] = L"Qualcomm Snapdragon X55 5G";
const wchar_t kModelNuvik[] = L"Nuvik HX730R-GL";
const DWORD kBit25 = 0x2000000;
const DWORD kBit26 = 0x4000000;

bool BeginsWith(const std::wstring& model, const wchar_t* literal) {
    size_t length = wcslen(literal);
    return model.size() >= length && model.compare(0, length, literal) == 0;
}

PSensorOutcome NuvikOutcome(DWORD prev, DWORD cur, int lastState, const std::function<int()>& reading) {
    const bool approached = ((cur ^ prev) & kBit25) != 0;
    const bool departed = ((cur ^ prev) & kBit26) != 0;
    if (!approached && !departed) return PSensorOutcome::Unknown;
    // One toggle that fits where the sensor was is that change (or an odd run
    // of changes ending the same way).
    if (approached && !departed && lastState != 1) return PSensorOutcome::Proximity;
    if (departed && !approached && lastState != 0) return PSensorOutcome::Away;
    // Both bits, or an approach while near (a departure while away): several
    // changes were read together, and the toggles do not tell where they
    // ended. The driver's level does.
    switch (reading()) {
    case 1:
        return PSensorOutcome::Proximity;
    case 0:
        return PSensorOutcome::Away;
    default:
        // No answer: the bits' own meaning, proximity first.
        return approached ? PSensorOutcome::Proximity : PSensorOutcome::Away;
    }
}
}  // namespace

PSensorRule PSensorRuleOf(const std::wstring& model) {
    if (BeginsWith(model, kModelFoxconn)) return PSensorRule::FoxconnLevel;
    if (BeginsWith(model, kModelNuvik)) return PSensorRule::NuvikToggle;
    return PSensorRule::None;
}

PSensorOutcome ClassifyPSensorChange(PSensorRule rule, DWORD prev, DWORD cur, int lastState,
                                     const std::function<int()>& reading) {
    switch (rule) {
    case PSensorRule::FoxconnLevel:
        // A level: several changes read together are their net change.
        if ((cur & kBit25) && !(prev & kBit25)) return PSensorOutcome::Away;
        if (!(cur & kBit25) && (prev & kBit25)) return PSensorOutcome::Proximity;
        return PSensorOutcome::Unknown;
    case PSensorRule::NuvikToggle:
        return NuvikOutcome(prev, cur, lastState, reading);
    case PSensorRule::None:
        break;
    }
    return PSensorOutcome::Ignored;
}
