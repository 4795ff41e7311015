// The Fibocom path from the platform factory on: the Ferro factory makes the
// modem object for a modem reporting "Fibocom L860-GL"; its start-up completes
// against the simulated library and its back-off reaches the simulated modem.
#include "CClock.h"
#include "CSimModemControl.h"
#include "CTarvoFerroDeviceFactory.h"
#include "CWWANDevice.h"
#include "CWWANFibocom.h"
#include "FiboSarTables.h"
#include "FiboTestSupport.h"
#include "MBSar.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>

TEST(FerroFactory, FibocomFromTheModelToTheModem) {
    ASSERT_TRUE(CSimModemControl::Register());
    CSimModemControl modem;
    ASSERT_TRUE(modem.Load());
    simmodem::StartState state;
    state.interfaces = {simmodem::InterfaceSpec::Fibocom()};
    ASSERT_TRUE(modem.Reset(state));
    g_modem = SarGetDefaultModem();
    g_dwCurrentTarvoState = 0;

    fibotest::CDllFolder folder(fibotest::SimFolder());
    fibotest::CFiboSim library(fibotest::SimFolder());
    ASSERT_TRUE(library.IsLoaded());
    library.Reset();
    CClock::SetDivisor(1000);
    fibotest::StartCapture();

    CTarvoFerroDeviceFactory factory("Q47XV");
    std::unique_ptr<CWWANDevice> device(factory.CreateWWANDevice());
    ASSERT_NE(device, nullptr);
    EXPECT_NE(dynamic_cast<CWWANFibocom*>(device.get()), nullptr);
    EXPECT_EQ(device->GetModelName(), L"Fibocom L860-GL");
    EXPECT_TRUE(fibotest::Logged("CTarvoFerroDeviceFactory::CreateWWANDevice", "Fibocom L860 device found"));

    // An empty modem table: written with the four mode-2 lines, then found.
    EXPECT_EQ(device->Initialize(), 1);
    EXPECT_EQ(library.AcceptedLines(), fibotest::ToVector(fibo_sar_cmd_2, 4));
    std::string table = library.TableText();
    for (size_t i = 0; i < 29; ++i) EXPECT_NE(table.find(fibo_sar_tbl_2[i]), std::string::npos) << fibo_sar_tbl_2[i];

    EXPECT_EQ(device->RunTarvoHandler(1), 0);
    EXPECT_EQ(device->RunTarvoHandler(0), 0);
    std::vector<simmodem::Bytes> sets;
    for (const simmodem::LogEntry& e : modem.Log())
        if (e.op == SIMMODEM_OP_SET && e.cid == 1) sets.push_back(e.payload);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0][4], 1) << "on: back-off enabled";
    EXPECT_EQ(sets[0][24], 1) << "on: back-off index 1";
    EXPECT_EQ(sets[1][4], 0) << "off: back-off disabled";
    EXPECT_EQ(sets[1][24], 0) << "off: back-off index 0";

    fibotest::StopCapture();
    CClock::SetDivisor(1);
    g_modem.reset();
}
