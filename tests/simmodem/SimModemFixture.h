// A test process with the simulator registered and reset to State(), both
// managers made by a real CoCreateInstance(CLSCTX_ALL) and one recording sink
// advised for all four event interfaces.
#pragma once

#include "CSimModemControl.h"
#include "CSimModemRemote.h"
#include "SimModemTestUtil.h"

#include <gtest/gtest.h>

namespace simtest {

constexpr DWORD kWaitMs = 3000;
constexpr HRESULT kBusy = static_cast<HRESULT>(0x800700AA);
constexpr HRESULT kNotConnected = static_cast<HRESULT>(0x8007048F);
constexpr HRESULT kNoSession = static_cast<HRESULT>(0x8007139F);
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);

class SimModemTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual simmodem::StartState State() { return simmodem::StartState(); }

    ComPtr<IMbnInterface> Interface(uint32_t position = 0);
    ComPtr<IMbnDeviceServicesContext> Context(const std::wstring& interfaceId);
    ComPtr<IMbnDeviceService> Service(const wchar_t* serviceId, uint32_t position = 0);
    // A service with its command session open.
    ComPtr<IMbnDeviceService> OpenService(const wchar_t* serviceId, uint32_t position = 0);
    // Sends the command, expects S_OK from the call and returns its completion.
    SinkEvent Set(IMbnDeviceService* service, ULONG cid, const Bytes& payload);
    SinkEvent Query(IMbnDeviceService* service, ULONG cid);
    // The notifications on a service since the last Clear of the sink.
    std::vector<SinkEvent> Notifications(IMbnDeviceService* service);

    CSimModemControl m_sim;
    ComPtr<IMbnInterfaceManager> m_manager;
    ComPtr<IMbnDeviceServicesManager> m_services;
    ComPtr<CTestSink> m_sink;

private:
    struct Advised {
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
    };
    std::vector<Advised> m_advised;
    bool m_comInitialized = false;
};

}  // namespace simtest
