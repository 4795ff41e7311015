// A simulated modem registered in the prefix and reset per test, with the
// logger captured and the clock fast; MBSar's process-wide memory starts over.
#pragma once

#include "CClock.h"
#include "CSimModemControl.h"
#include "LogCapture.h"
#include "MBSar.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class ModemFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CSimModemControl::Register());
        ASSERT_TRUE(sim.Load());
        CClock::SetDivisor(1000);
    }
    void TearDown() override {
        CClock::SetDivisor(1);
        CClock::SetObserver(nullptr);
        g_sarManager.reset();
        g_modem.reset();
    }

    // Resets the simulator to these modems and looks up the default modem again.
    void UseModems(const std::vector<simmodem::InterfaceSpec>& interfaces,
                   const std::vector<simmodem::FaultSpec>& faults = {}) {
        simmodem::StartState state;
        state.interfaces = interfaces;
        state.faults = faults;
        state.settings.delivery = delivery;
        ASSERT_TRUE(sim.Reset(state));
        g_modem = SarGetDefaultModem();
        g_dwCurrentTarvoState = 0;
    }
    void UseModem(const simmodem::InterfaceSpec& modem, const std::vector<simmodem::FaultSpec>& faults = {}) {
        UseModems({modem}, faults);
    }

    // The SAR configuration sets the modem received, as 28-byte payloads.
    std::vector<simmodem::Bytes> SarConfigSets() {
        std::vector<simmodem::Bytes> sets;
        for (const simmodem::LogEntry& entry : sim.Log())
            if (entry.op == SIMMODEM_OP_SET && entry.cid == 1 && _wcsicmp(entry.service.c_str(), SIMMODEM_SERVICE_MS_SAR) == 0)
                sets.push_back(entry.payload);
        return sets;
    }

    static simmodem::Bytes Payload(uint32_t mode, uint32_t backOff, uint32_t antenna, uint32_t index) {
        const uint32_t fields[] = {mode, backOff, 1, 20, 8, antenna, index};
        simmodem::Bytes bytes;
        for (uint32_t field : fields)
            for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(field >> shift));
        return bytes;
    }

    // Which pointer the modem's events pass for the object they are about.
    uint32_t delivery = SIMMODEM_DELIVERY_SAME;
    CSimModemControl sim;
    CLogCapture capture;
};

// The delivery modes as test parameters, and their names.
inline auto DeliveryModes() {
    return ::testing::Values(SIMMODEM_DELIVERY_SAME, SIMMODEM_DELIVERY_TEAROFF, SIMMODEM_DELIVERY_OTHER);
}
inline std::string DeliveryName(const ::testing::TestParamInfo<uint32_t>& info) {
    return simmodem::DeliveryName(info.param);
}
