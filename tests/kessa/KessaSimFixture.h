// Kessa.dll loaded by name from the product folder, as the service loads it,
// with the simulated modem registered in the prefix and reached by the
// library's own CoCreateInstance. gtest runs each case in a process of its
// own, so the library and the simulator start fresh every time.
#pragma once

#include "CSimModemControl.h"
#include "Kessa.h"
#include "SarTestBytes.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kessasim {

using sartest::Bytes;

// The 17 exports, bound by name.
struct KessaExports {
    bool Load();

    HMODULE module = nullptr;
    PFN_Kessa_CloseDeviceServices CloseDeviceServices = nullptr;
    PFN_Kessa_GetFileCrc GetFileCrc = nullptr;
    PFN_Kessa_GetIsMbimReady GetIsMbimReady = nullptr;
    PFN_Kessa_GetSarEnable GetSarEnable = nullptr;
    PFN_Kessa_GetSarIndex GetSarIndex = nullptr;
    PFN_Kessa_GetSarValue GetSarValue = nullptr;
    PFN_Kessa_GetSarVersion GetSarVersion = nullptr;
    PFN_Kessa_Init Init = nullptr;
    PFN_Kessa_IsWrite IsWrite = nullptr;
    PFN_Kessa_OpenDeviceServices OpenDeviceServices = nullptr;
    PFN_Kessa_SetDeviceRoot SetDeviceRoot = nullptr;
    PFN_Kessa_SetSarCallBack SetSarCallBack = nullptr;
    PFN_Kessa_SetSarEnable SetSarEnable = nullptr;
    PFN_Kessa_SetSarIndex SetSarIndex = nullptr;
    PFN_Kessa_SetSarValue SetSarValue = nullptr;
    PFN_Kessa_SetSarVersion SetSarVersion = nullptr;
    PFN_Kessa_UnInit UnInit = nullptr;
};

// What the process writes with OutputDebugString while it lives, seen through
// the exception that OutputDebugString raises first.
class CDebugOutput {
public:
    CDebugOutput();
    ~CDebugOutput();
    CDebugOutput(const CDebugOutput&) = delete;
    CDebugOutput& operator=(const CDebugOutput&) = delete;

    // Texts exactly equal to text.
    size_t Count(const std::string& text) const;
    // Polls until the text was written once.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) const;
    void Clear();

private:
    void* m_handler = nullptr;
};

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class KessaSim : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The simulator starts over with this state (its interface 0 is the modem),
    // delivering its events as m_delivery says.
    void Start(simmodem::StartState state) {
        state.settings.delivery = m_delivery;
        ASSERT_TRUE(m_sim.Reset(state));
    }
    std::string InterfaceId(uint32_t index = 0);
    int32_t Init() { return m_kessa.Init(InterfaceId().c_str()); }
    // Init, then a context that TearDown closes.
    SarDeviceContext* InitAndOpen();
    SarDeviceContext* Open();
    uint8_t Ready();
    // Polls the ready flag until it reads value.
    bool WaitReady(uint8_t value, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Set and query commands the modem received, in order.
    std::vector<simmodem::LogEntry> Commands(const wchar_t* service, uint32_t cid, uint32_t op = SIMMODEM_OP_ANY);
    std::vector<simmodem::LogEntry> Sessions(uint32_t op);

    // Which pointer the modem's events pass for the service they are about.
    uint32_t m_delivery = SIMMODEM_DELIVERY_SAME;
    KessaExports m_kessa;
    CSimModemControl m_sim;
    CDebugOutput m_debug;
    std::vector<SarDeviceContext*> m_contexts;
};

// The same cases in each delivery mode: events through the caller's pointer,
// a tear-off of it, or another object for the same service.
class KessaSimModes : public KessaSim, public ::testing::WithParamInterface<uint32_t> {
protected:
    KessaSimModes() { m_delivery = GetParam(); }
};

inline bool SameService(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

}  // namespace kessasim
