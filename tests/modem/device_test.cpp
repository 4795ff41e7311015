// The modem object base, the vendors' back-off commands and the platform
// factories, through MBSar and the simulated modem.
#include "CHelpers.h"
#include "CTarvoBrennCossaDeviceFactory.h"
#include "CTarvoFerroDeviceFactory.h"
#include "CTarvoLumoDeviceFactory.h"
#include "CWWANFibocom.h"
#include "CWWANFoxconn.h"
#include "CWWANNuvik.h"
#include "ModemFixture.h"

#include <objbase.h>

#include <memory>
#include <thread>

using simmodem::FaultSpec;
using simmodem::InterfaceSpec;

namespace {
const char kParameters[] = "SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters";

DWORD Status() {
    DWORD value = 0;
    testsupport::GetDword(kParameters, "CurrentStatus", value);
    return value;
}

class Device : public ModemFixture {
protected:
    void SetUp() override {
        ModemFixture::SetUp();
        testsupport::SetDword(kParameters, "CurrentStatus", 0);
        testsupport::DeleteValue(kParameters, "SetCountryCode");
    }
};

std::unique_ptr<CWWANDevice> MakeVendor(const std::string& vendor) {
    if (vendor == "Foxconn") return std::make_unique<CWWANFoxconn>(L"Qualcomm Snapdragon X55 5G");
    if (vendor == "Nuvik") return std::make_unique<CWWANNuvik>(L"Nuvik HX730R-GL");
    return std::make_unique<CWWANFibocom>(L"Fibocom L860-GL");
}
}  // namespace

TEST_F(Device, EachVendorSendsItsOwnRow) {
    struct Case {
        const char* vendor;
        simmodem::Bytes on;
        simmodem::Bytes off;
    } cases[] = {
        {"Foxconn", Payload(1, 1, 65535, 2), Payload(1, 1, 65535, 1)},
        {"Nuvik", Payload(1, 1, 0, 2), Payload(1, 0, 0, 1)},
        {"Fibocom", Payload(1, 1, 0, 1), Payload(1, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        UseModem(InterfaceSpec::Qualcomm());
        testsupport::SetDword(kParameters, "CurrentStatus", 0x1001);
        std::unique_ptr<CWWANDevice> device = MakeVendor(c.vendor);
        EXPECT_EQ(device->RunTarvoHandler(1), 0) << c.vendor;
        EXPECT_EQ(Status(), 0x1011u) << c.vendor;
        EXPECT_EQ(device->RunTarvoHandler(0), 0) << c.vendor;
        EXPECT_EQ(Status(), 0x1001u) << c.vendor;
        EXPECT_EQ(SarConfigSets(), (std::vector<simmodem::Bytes>{c.on, c.off})) << c.vendor;
        std::string fn = std::string("CWWAN") + c.vendor + "::RunTarvoHandler";
        EXPECT_TRUE(CLogCapture::Has(fn + "\tINFO\tTarvo on"));
        EXPECT_TRUE(CLogCapture::Has(fn + "\tINFO\tTarvo Off"));
        EXPECT_TRUE(CLogCapture::Has("DEBUG\tEntering " + fn));

        CLogCapture::Clear();
        EXPECT_EQ(device->RunTarvoHandler(0xFF), 1) << c.vendor;
        EXPECT_EQ(SarConfigSets().size(), 2u) << "0xFF sends nothing";
        EXPECT_TRUE(CLogCapture::Has(fn + "\tERROR\tMB SAR enable Tarvo failed"));
        EXPECT_EQ(Status(), 0x1001u);
        EXPECT_EQ(device->IsReady(), 1);
        EXPECT_EQ(device->GetHardwareRadioState(), 0);
        EXPECT_EQ(device->GetCountryCode(), "");
        EXPECT_EQ(device->Reserved6(5) + device->Reserved7() + device->Reserved8() + device->Reserved9(), 0);
    }
}

TEST_F(Device, FailedCommandLeavesTheStateAndSkippedOneRecordsIt) {
    UseModem(InterfaceSpec::Qualcomm(), {FaultSpec::Status(SIMMODEM_SERVICE_MS_SAR, 1, 5, 1, SIMMODEM_OP_SET)});
    CWWANFoxconn device(L"Qualcomm Snapdragon X55 5G");
    EXPECT_EQ(device.RunTarvoHandler(1), 5);
    EXPECT_EQ(Status(), 0u);
    EXPECT_TRUE(CLogCapture::Has("CWWANFoxconn::RunTarvoHandler\tERROR\tMB SAR enable Tarvo failed"));
    testsupport::SetDword(kParameters, "CurrentStatus", 0x10);
    EXPECT_EQ(device.RunTarvoHandler(0), 0) << "unchanged state: skipped, still a success";
    EXPECT_EQ(Status(), 0u) << "and the source-1 bit follows it";
    EXPECT_TRUE(SarConfigSets().size() == 1);
}

TEST_F(Device, ConcurrentCommandsDoNotInterleave) {
    UseModem(InterfaceSpec::Qualcomm());
    CWWANFoxconn device(L"Qualcomm Snapdragon X55 5G");
    std::thread a([&] {
        for (int i = 0; i < 20; ++i) device.RunTarvoHandler(static_cast<uint8_t>(i % 2));
    });
    std::thread b([&] {
        for (int i = 0; i < 20; ++i) device.RunTarvoHandler(static_cast<uint8_t>((i + 1) % 2));
    });
    a.join();
    b.join();
    // Each command's lines inside the lock come in one piece: "Tarvo on/Off",
    // then MBSar's lines up to its last one, before the next command's.
    bool inCommand = false;
    for (const std::string& line : CLogCapture::All()) {
        if (line.find("CWWANFoxconn::RunTarvoHandler\tINFO\tTarvo") != std::string::npos) {
            EXPECT_FALSE(inCommand) << line;
            inCommand = true;
        }
        if (line.find("MBSar::EnableTarvo\tINFO\tBack off") != std::string::npos ||
            line.find("MBSar::EnableTarvo\tINFO\tNo change in Tarvo status") != std::string::npos) {
            EXPECT_TRUE(inCommand) << line;
            inCommand = false;
        }
    }
    // Every accepted command flipped the state: the sets alternate.
    std::vector<simmodem::Bytes> sets = SarConfigSets();
    for (size_t i = 1; i < sets.size(); ++i) EXPECT_NE(sets[i][24], sets[i - 1][24]);
}

TEST_F(Device, BaseQueriesThroughTheMobileBroadbandApi) {
    InterfaceSpec modem = InterfaceSpec::Qualcomm();
    modem.providerId = L"26201";
    UseModem(modem);
    class CBase : public CWWANFoxconn {
    public:
        using CWWANFoxconn::CWWANFoxconn;
        int Radio() { return CWWANDevice::GetHardwareRadioState(); }
        std::string Country() { return CWWANDevice::GetCountryCode(); }
    } device(L"Qualcomm Snapdragon X55 5G");
    EXPECT_EQ(device.Radio(), -1) << "no interface id: every query fails";
    EXPECT_EQ(device.Country(), "");
    device.SetInterfaceId(sim.InterfaceId(0).c_str());
    EXPECT_EQ(device.Radio(), 1);
    sim.SetRadio(0, 0, 1);
    EXPECT_EQ(device.Radio(), 0) << "the hardware radio, not the software one";
    sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_GET_HARDWARE_RADIO, E_FAIL, 1));
    EXPECT_EQ(device.Radio(), -1);

    struct Case {
        uint32_t registerState;
        const char* expected;
    } cases[] = {{3, "262"}, {4, "262"}, {5, "262"}, {2, ""}, {1, ""}, {6, ""}};
    for (const Case& c : cases) {
        sim.SetRegistration(0, c.registerState, L"26201");
        EXPECT_EQ(device.Country(), c.expected) << c.registerState;
    }
    sim.SetRegistration(0, 3, L"26201");
    sim.AddFault(FaultSpec::Fail(SIMMODEM_METHOD_GET_PROVIDER_ID, E_FAIL, 1));
    EXPECT_EQ(device.Country(), "");
    ASSERT_TRUE(testsupport::SetString(kParameters, "SetCountryCode", "31026X"));
    sim.ClearFaults();
    sim.AddFaults(FaultSpec::NoService());
    EXPECT_EQ(device.Country(), "31026X") << "the registry value whole, without the modem";

    testsupport::SetDword("SYSTEM\\CurrentControlSet\\Services\\TARVOSVC\\Parameters\\Tarvo", "Level", 3);
    EXPECT_EQ(device.ReadTarvoRegistryValue("Level"), 3u);
    EXPECT_EQ(device.ReadTarvoRegistryValue("Missing"), 0xFFFFFFFFu);
}

TEST_F(Device, FactoriesChooseByTheModelLiteral) {
    struct Case {
        const char* factory;
        const wchar_t* reported;  // null: no modem
        const wchar_t* model;     // null: no object
        const char* line;
    } cases[] = {
        {"Lumo", L"Qualcomm Snapdragon X55 5G", L"Qualcomm Snapdragon X55 5G", "Foxconn device found"},
        {"Lumo", L"Qualcomm Snapdragon X55 5G rev B", L"Qualcomm Snapdragon X55 5G", "Foxconn device found"},
        {"Lumo", L"Nuvik HX730R-GL", L"Nuvik HX730R-GL", "Nuvik HX730 found"},
        {"Lumo", L"nuvik hx730r-gl", nullptr, "No supported WWAN device found"},
        {"Lumo", L"Qualcomm Snapdragon X55", nullptr, "No supported WWAN device found"},
        {"BrennCossa", L"Generic Mobile Broadband Adapter", L"Generic Mobile Broadband Adapte", "Nuvik Device found"},
        {"BrennCossa", L"Qualcomm Snapdragon X55 5G", L"Qualcomm Snapdragon X55 5G", "Foxconn device found"},
        {"BrennCossa", L"Nuvik HX730R-GL", nullptr, "No supported WWAN device found"},
        {"Ferro", L"Fibocom L860-GL", L"Fibocom L860-GL", "Fibocom L860 device found"},
        {"Ferro", L"Fibocom L850-GL-02", L"Fibocom L850-GL", "Fibocom L850 device found"},
        {"Ferro", L"Qualcomm Snapdragon X55 5G", L"Qualcomm Snapdragon X55 5G", "Foxconn device found"},
        {"Ferro", L"Nuvik HX730R-GL", nullptr, "No supported WWAN device found"},
    };
    for (const Case& c : cases) {
        InterfaceSpec modem;
        modem.model = c.reported;
        UseModem(modem);
        CLogCapture::Clear();
        std::string name = c.factory;
        std::unique_ptr<CTarvoDeviceFactory> factory;
        if (name == "Lumo") factory = std::make_unique<CTarvoLumoDeviceFactory>("Q47XV");
        if (name == "BrennCossa") factory = std::make_unique<CTarvoBrennCossaDeviceFactory>("Q47XV");
        if (name == "Ferro") factory = std::make_unique<CTarvoFerroDeviceFactory>("Q47XV");
        std::unique_ptr<CWWANDevice> device(factory->CreateWWANDevice());
        EXPECT_EQ(device != nullptr, c.model != nullptr) << c.factory << " " << std::string(c.reported, c.reported + wcslen(c.reported));
        if (device) {
            EXPECT_EQ(device->GetModelName(), c.model);
        }
        std::string fn = "CTarvo" + name + "DeviceFactory::CreateWWANDevice";
        EXPECT_TRUE(CLogCapture::Has(fn + (c.model ? "\tINFO\t" : "\tDEBUG\t") + c.line)) << c.factory;
        std::string quoted = "\"";
        for (const wchar_t* w = c.reported; *w; ++w) quoted += static_cast<char>(*w);
        quoted += "\"";
        EXPECT_EQ(CLogCapture::Has(fn + "\tDEBUG\t" + quoted), name != "Ferro") << "only Ferro keeps the name to itself";
        EXPECT_EQ(factory->GetBIOSID(), "Q47XV");
    }
}

TEST_F(Device, FactoryWithoutModelAndHardwareIds) {
    UseModems({});
    CTarvoLumoDeviceFactory lumo("Q47XV");
    EXPECT_EQ(lumo.CreateWWANDevice(), nullptr);
    EXPECT_TRUE(CLogCapture::Has("CTarvoLumoDeviceFactory::CreateWWANDevice\tERROR\tGetHardwareId function failed..."));
    EXPECT_FALSE(CLogCapture::Has("No supported WWAN device found"));

    // The logged id is the class's own, not the argument.
    CLogCapture::Clear();
    CTarvoFerroDeviceFactory ferro("Q47XV");
    CTarvoBrennCossaDeviceFactory brenn("Q47XV");
    EXPECT_EQ(lumo.IsSupportedMBNDevice("usb\\vid_0489&pid_e0b1&rev_0300&mi_00", "USB\\VID_0489"), 1);
    EXPECT_EQ(ferro.IsSupportedMBNDevice("USB\\VID_8087", ""), 1) << "an empty prefix matches";
    EXPECT_EQ(brenn.IsSupportedMBNDevice(nullptr, "USB"), 0);
    EXPECT_EQ(brenn.IsSupportedMBNDevice("PCI\\X", "USB"), 0);
    EXPECT_EQ(CLogCapture::All(),
              (std::vector<std::string>{
                  "CTarvoLumoDeviceFactory::IsSupportedMBNDevice\tDEBUG\thardwareid = \"USB\\VID_0489&PID_E0B1&REV_0300&MI_00\"",
                  "CTarvoFerroDeviceFactory::IsSupportedMBNDevice\tDEBUG\thardwareid = \"USB\\VID_8087&PID_0AC9\""}));
    EXPECT_EQ(lumo.InitCom(), S_OK);
    CoUninitialize();
}
