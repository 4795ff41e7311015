// Test doubles for the policy engine: a modem object that records what it is
// told, a factory that hands it out, and an application whose owned objects a
// test can set.
#pragma once

#include "CTarvoApplication.h"
#include "CTarvoDeviceFactory.h"
#include "CWWANDevice.h"
#include "CWatcherPSensor.h"
#include "CWatcherThermova.h"

#include <atomic>
#include <mutex>
#include <vector>

class CFakeModem : public CWWANDevice {
public:
    std::atomic<int> ready{1};
    std::atomic<int> initializeResults[10] = {};
    std::atomic<int> initializeCalls{0};
    // While set, every command waits for it (see RunTarvoHandler); holding: one does now.
    std::atomic<HANDLE> hold{nullptr};
    std::atomic<bool> holding{false};

    std::vector<int> States() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_states;
    }
    void ClearStates() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_states.clear();
    }

    int Initialize() override {
        int call = initializeCalls++;
        return call < 10 ? initializeResults[call].load() : 0;
    }
    int IsReady() override { return ready; }
    int RunTarvoHandler(uint8_t state) override {
        // A command that does not end at the service's stop: held until the event
        // is set (at most 30 s, so a failed test still ends).
        if (HANDLE event = hold.load()) {
            holding = true;
            ::WaitForSingleObject(event, 30000);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_states.push_back(state);
        return state <= 1 ? 0 : 1;
    }
    int Reserved6(uint32_t) override { return 0; }
    int Reserved7() override { return 0; }
    int Reserved8() override { return 0; }
    int Reserved9() override { return 0; }
    std::wstring GetModelName() override { return L"Fake modem"; }

private:
    std::mutex m_lock;
    std::vector<int> m_states;
};

class CFakeFactory : public CTarvoDeviceFactory {
public:
    std::string GetBIOSID() override { return "Q47XV"; }
    CWWANDevice* CreateWWANDevice() override { return nullptr; }
};

// The application with its objects set by the test; the destructor frees them as usual.
class CTestApplication : public CTarvoApplication {
public:
    CFakeModem* modem = nullptr;

    // A factory and a modem, as after the worker's steps 5 and 6.
    void WithModem() {
        m_pDeviceFactory = new CFakeFactory();
        modem = new CFakeModem();
        m_pWWANDeviceObj = modem;
    }
    void WithWatchers(bool psensor, bool thermova) {
        if (psensor) m_pPSensorWatcher = CWatcherPSensor::Create();
        if (thermova) m_pThermovaWatcher = CWatcherThermova::Create();
    }
    CWatcherThermova* Thermova() { return m_pThermovaWatcher; }
    bool MonitorOff() const { return m_bMonitorOff; }
};
