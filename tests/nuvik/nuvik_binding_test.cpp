// The service's binding of Kessa.dll: which library it finds, what it logs
// while binding, each wrapper's call and texts against the simulated modem, the
// lengths the library cannot check, and the firmware-update event.
#include "CNuvikTarvoApi.h"
#include "CWWANNuvik.h"
#include "Handles.h"
#include "NuvikFixture.h"

#include <atomic>
#include <functional>
#include <thread>

using namespace nuviktest;

namespace {
const char kAnyInterface[] = "{00000000-0000-0000-0000-000000000000}";

class NuvikBinding : public NuvikFixture {
protected:
    // The instance, with the lines its creation logged taken out of the capture.
    std::vector<std::string> Create(Library library) {
        UseLibrary(library);
        m_api = CNuvikTarvoApi::GetInstance();
        EXPECT_NE(m_api, nullptr);
        std::vector<std::string> lines;
        for (const LogLine& line : Lines()) lines.push_back(line.text);
        ClearLines();
        return lines;
    }

    struct Call {
        const char* wrapper;
        std::function<int()> call;
        int result;
        std::vector<std::string> lines;  // of CNuvikTarvoApi::<wrapper>, "LEVEL\tmessage"
        std::function<void()> check = nullptr;
    };
    // Each call on its own: its result, exactly its lines, then its check.
    void Run(const std::vector<Call>& calls) {
        for (const Call& c : calls) {
            SCOPED_TRACE(c.wrapper);
            ClearLines();
            EXPECT_EQ(c.call(), c.result);
            std::vector<std::string> lines;
            for (const LogLine& line : Lines()) lines.push_back(line.text);
            std::vector<std::string> expected;
            for (const std::string& line : c.lines)
                expected.push_back("CNuvikTarvoApi::" + std::string(c.wrapper) + "\t" + line);
            EXPECT_EQ(lines, expected);
            if (c.check) c.check();
        }
    }

    // The modem keeps still while the wrappers run: no reboot of its own.
    void StartStillModem() {
        simmodem::InterfaceSpec modem = simmodem::InterfaceSpec::Nuvik();
        modem.sarImage = MakeImage(40, 9);
        simmodem::Settings settings;
        settings.rebootRemoveDelayMs = 600000;
        StartModem(modem, settings);
    }

    // Every wrapper but CheckMBIM's failure, in the driver's order, each succeeding
    // against the module; IsWrite only when the library has it.
    void RunEveryWrapper(bool isWriteBound) {
        const Bytes image = MakeImage(1100, 5);
        const uint16_t crc = FileCrc(image);
        uint8_t ready = 0xAA, enabled = 0xAA, equal = 0xAA;
        uint16_t fileCrc = 0, moduleCrc = 0;
        uint32_t index = 0xFFFFFFFF, level = 0;
        uint8_t* data = nullptr;
        int32_t length = 0;
        const std::string id = InterfaceIdA();
        Run({
            {"OpenMBIMPorts", [&] { return m_api->OpenMBIMPorts(id); }, 0,
             {"DEBUG\tInitializing MBIM Ports...", "DEBUG\tMBIM Ports Initialization SUCCESS"}},
            {"CheckMBIM", [&] { return m_api->CheckMBIM(&ready); }, 0,
             {"DEBUG\tQuerying MBIM Ports...", "DEBUG\tCheckMBIM API SUCCESS, bStatus = 1"},
             [&] { EXPECT_EQ(ready, 1); }},
            {"OpenDeviceSvc", [&] { return m_api->OpenDeviceSvc(); }, 0,
             {"DEBUG\tOpen device service...", "DEBUG\tOpen device service SUCCESS"},
             [&] { EXPECT_NE(g_hDeviceServices, nullptr); }},
            {"GetSarEnable", [&] { return m_api->GetSarEnable(&enabled); }, 0,
             {"DEBUG\tGet Sar Enable...", "DEBUG\tSar enable flag is 0", "DEBUG\tGetSarEnable SUCCESS"}},
            {"SetSarEnable", [&] { return m_api->SetSarEnable(1); }, 0,
             {"DEBUG\tSet Sar Enable...", "DEBUG\tSetSarEnable to 1 SUCCESS"},
             [&] { EXPECT_EQ(Diag().sarEnable, 1u); }},
            {"GetFileCRC", [&] { return m_api->GetFileCRC(image.data(), static_cast<uint32_t>(image.size()), &fileCrc); },
             0, {"DEBUG\tGetFileCRC...", "DEBUG\tGetFileCRC SUCCESS"}, [&] { EXPECT_EQ(fileCrc, crc); }},
            {"SetSarValue", [&] { return m_api->SetSarValue(image.data(), static_cast<uint32_t>(image.size())); }, 0,
             {"DEBUG\tSetSarValue (write EFSFile) SUCCESS"}, [&] { EXPECT_EQ(sim.SarImage(0), image); }},
            {"SetSarTable", [&] { return m_api->SetSarTable(2, crc); }, 0,
             {"DEBUG\tSetSarTable...", "DEBUG\tSetSarTable CRC SUCCESS"},
             [&] {
                 EXPECT_EQ(Diag().tableIndex, 2u);
                 EXPECT_EQ(Diag().tableCrc, crc);
             }},
            {"GetSarTable", [&] { return m_api->GetSarTable(&index, &moduleCrc); }, 0,
             {"DEBUG\tGetSarTable...", "DEBUG\tGetSarTable CRC SUCCESS"},
             [&] {
                 EXPECT_EQ(index, 2u) << "all four bytes of the index";
                 EXPECT_EQ(moduleCrc, crc);
             }},
            {"GetSarValue", [&] { return m_api->GetSarValue(&data, &length); }, 0, {"DEBUG\tGetSarValue SUCCESS"},
             [&] {
                 ASSERT_NE(data, nullptr);
                 EXPECT_EQ(Bytes(data, data + length), image);
             }},
            {"IsWrite",
             [&] {
                 return m_api->IsWrite(image.data(), static_cast<uint32_t>(image.size()), data,
                                       static_cast<uint32_t>(length), &equal);
             },
             isWriteBound ? 0 : -1, isWriteBound ? std::vector<std::string>{"DEBUG\tIsWrite SUCCESS"}
                                                 : std::vector<std::string>{},
             [&] { EXPECT_EQ(equal, isWriteBound ? 1 : 0xAA); }},
            {"SetSarLevel", [&] { return m_api->SetSarLevel(3); }, 0,
             {"DEBUG\tSet Sar Level(Index) to 3", "DEBUG\tSetSarLevel (index) to 3 SUCCESS"},
             [&] {
                 SimModemSarConfig config = {};
                 ASSERT_TRUE(sim.GetSarConfig(0, config));
                 EXPECT_EQ(config.states[0].backOffIndex, 3u);
             }},
            {"GetSarLevel", [&] { return m_api->GetSarLevel(&level); }, 0,
             {"DEBUG\tGet Sar Level(Index)...", "DEBUG\tGetSarLevel (Index): 3 SUCCESS"},
             [&] { EXPECT_EQ(level, 3u); }},
            {"ModuleReboot", [&] { return m_api->ModuleReboot(); }, 0,
             {"DEBUG\t==> Module rebooting...", "DEBUG\tKessa_SetDeviceRoot API return SUCCESS!"},
             [&] { EXPECT_EQ(DiagCommands(5, SIMMODEM_OP_SET).size(), 1u); }},
            // The context is closed before the library is shut down, and forgotten.
            {"CloseMBIMPorts", [&] { return m_api->CloseMBIMPorts(); }, 0,
             {"DEBUG\tClosing MBIM Ports...", "DEBUG\tDeInitializing MBIM Ports...", "DEBUG\tMBIM Ports Close SUCCESS"},
             [&] {
                 EXPECT_EQ(g_hDeviceServices, nullptr);
                 EXPECT_EQ(KessaReady(), 0);
             }},
        });
    }

    CNuvikTarvoApi* m_api = nullptr;
};
}  // namespace

TEST_F(NuvikBinding, WithTheLibraryAbsentNothingIsCalledOrLogged) {
    EXPECT_EQ(Create(Library::Absent), (std::vector<std::string>{
                                           "CNuvikTarvoApi::CNuvikTarvoApi\tDEBUG\tKessa.dll NOT FOUND",
                                           "CNuvikTarvoApi::GetInstance\tDEBUG\tNew Nuvik Instance",
                                       }));
    EXPECT_EQ(CNuvikTarvoApi::GetInstance(), m_api);
    EXPECT_FALSE(m_api->IsLoaded());

    uint8_t byte = 0xAA, running = 0xAA;
    uint16_t crc = 0x5555;
    uint32_t index = 0x5555;
    uint8_t* data = nullptr;
    int32_t length = 0x5555;
    const uint8_t file[8] = {};
    const int results[] = {
        m_api->OpenMBIMPorts(kAnyInterface), m_api->CheckMBIM(&byte), m_api->OpenDeviceSvc(),
        m_api->GetSarEnable(&byte),           m_api->SetSarEnable(1), m_api->GetFileCRC(file, 8, &crc),
        m_api->GetSarTable(&index, &crc),     m_api->SetSarTable(2, 1), m_api->GetSarValue(&data, &length),
        m_api->SetSarValue(file, 8),          m_api->IsWrite(file, 8, file, 8, &byte), m_api->ModuleReboot(),
        m_api->GetSarLevel(&index),           m_api->SetSarLevel(2), m_api->CloseMBIMPorts(),
    };
    for (int result : results) EXPECT_EQ(result, -1);
    EXPECT_EQ(byte, 0xAA);
    EXPECT_EQ(crc, 0x5555);
    EXPECT_EQ(index, 0x5555u);
    EXPECT_EQ(length, 0x5555);
    m_api->IsFwUpdateRunning(&running);
    EXPECT_EQ(running, 0) << "needs no library";
    EXPECT_TRUE(Lines().empty());

    // The modem object then fails its start-up on every try, right after the adapter lookup.
    StartModem();
    CWWANNuvik modem(L"Nuvik HX730R-GL");
    for (int attempt = 0; attempt < 2; ++attempt) {
        ClearLines();
        EXPECT_EQ(modem.Initialize(), 0);
        std::vector<std::string> lines;
        for (const LogLine& line : Lines()) lines.push_back(line.text);
        EXPECT_EQ(lines, (std::vector<std::string>{
                             "CWWANNuvik::GetUUID\tINFO\tuuid is ==> " + InterfaceIdA(),
                             "CWWANNuvik::Initialize\tDEBUG\tNuvik Tarvo initialization completed!Restult = 0",
                             "CWWANNuvik::Initialize\tDEBUG\t ",
                             "CWWANNuvik::Initialize\tDEBUG\t ",
                         }));
    }
}

TEST_F(NuvikBinding, AMissingExportIsLoggedAndTheOtherFifteenStillWork) {
    EXPECT_EQ(Create(Library::NoIsWrite), (std::vector<std::string>{
                                              "CNuvikTarvoApi::Init\tDEBUG\tKessa_IsWrite address is not loaded",
                                              "CNuvikTarvoApi::Init\tDEBUG\tNuvik Proc Initialization Failed",
                                              "CNuvikTarvoApi::GetInstance\tDEBUG\tNew Nuvik Instance",
                                          }))
        << "no \"Init Success\"";
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"Kessa.dll"), path, MAX_PATH);
    EXPECT_NE(std::wstring(path).find(L"kessa_noiswrite"), std::wstring::npos) << "the variant was loaded";
    EXPECT_TRUE(m_api->IsLoaded());
    StartStillModem();
    RunEveryWrapper(false);
}

TEST_F(NuvikBinding, EveryWrapperCarriesItsCallAndLogsIt) {
    EXPECT_EQ(Create(Library::Product), (std::vector<std::string>{
                                            "CNuvikTarvoApi::Init\tDEBUG\tNuvik Proc Initialization Success",
                                            "CNuvikTarvoApi::CNuvikTarvoApi\tDEBUG\tInit Success",
                                            "CNuvikTarvoApi::GetInstance\tDEBUG\tNew Nuvik Instance",
                                        }));
    StartStillModem();
    RunEveryWrapper(true);
}

TEST_F(NuvikBinding, FailuresAreLoggedWithTheLibrarysCode) {
    Create(Library::Product);
    StartStillModem();
    uint8_t flag = 7;
    uint16_t crc = 0x5555;
    uint32_t index = 0x5555;
    uint8_t* data = nullptr;
    int32_t length = 0;
    const uint8_t file[8] = {};
    // Before the library is initialised; until OpenDeviceSvc the handle is null (-30).
    Run({
        {"OpenDeviceSvc", [&] { return m_api->OpenDeviceSvc(); }, -1,
         {"DEBUG\tOpen device service...", "DEBUG\tOpen device service FAILED. Result Code: -1"}},
        {"CloseMBIMPorts", [&] { return m_api->CloseMBIMPorts(); }, -1,
         {"DEBUG\tClosing MBIM Ports...", "DEBUG\tDeInitializing MBIM Ports...",
          "DEBUG\tMBIM Ports Close FAILED. Result Code: -1"}},
        {"OpenMBIMPorts", [&] { return m_api->OpenMBIMPorts(kAnyInterface); }, -1,
         {"DEBUG\tInitializing MBIM Ports...", "DEBUG\tMBIM Ports Initialization FAILED. Result Code: -1"}},
        {"CheckMBIM", [&] { return m_api->CheckMBIM(nullptr); }, -1,
         {"DEBUG\tQuerying MBIM Ports...", "DEBUG\tCheckMBIM API FAILED. Result Code: -1"}},
        {"GetSarEnable", [&] { return m_api->GetSarEnable(&flag); }, -30,
         {"DEBUG\tGet Sar Enable...", "DEBUG\tSar enable flag is 7", "DEBUG\tGetSarEnable FAILED"}},
        {"SetSarEnable", [&] { return m_api->SetSarEnable(1); }, -30,
         {"DEBUG\tSet Sar Enable...", "DEBUG\tSetSarEnable FAILED: -30"}},
        {"GetFileCRC", [&] { return m_api->GetFileCRC(file, 8, &crc); }, -30,
         {"DEBUG\tGetFileCRC...", "DEBUG\tGetFileCRC FAILED: -30"}},
        {"GetSarTable", [&] { return m_api->GetSarTable(&index, &crc); }, -30,
         {"DEBUG\tGetSarTable...", "DEBUG\tGetSarTable CRC FAILED: -30"}},
        {"SetSarTable", [&] { return m_api->SetSarTable(2, 1); }, -30,
         {"DEBUG\tSetSarTable...", "DEBUG\tSetSarTable CRC FAILED: -30"}},
        {"GetSarValue", [&] { return m_api->GetSarValue(&data, &length); }, -30,
         {"DEBUG\tGetSarValue FAILED, reture = -30"}},
        {"SetSarValue", [&] { return m_api->SetSarValue(file, 8); }, -30,
         {"DEBUG\tSetSarValue (write EFSFile) FAILED, reture = -30"}},
        {"IsWrite", [&] { return m_api->IsWrite(file, 8, file, 8, &flag); }, -30, {"DEBUG\tIsWrite FAILED"}},
        {"ModuleReboot", [&] { return m_api->ModuleReboot(); }, -30,
         {"DEBUG\t==> Module rebooting...", "DEBUG\tKessa_SetDeviceRoot API return: -30"}},
        {"GetSarLevel", [&] { return m_api->GetSarLevel(&index); }, -30,
         {"DEBUG\tGet Sar Level(Index)...", "DEBUG\tGetSarLevel (Index) FAILED: -30"}},
        {"SetSarLevel", [&] { return m_api->SetSarLevel(3); }, -30,
         {"DEBUG\tSet Sar Level(Index) to 3", "DEBUG\tSetSarLevel (index)l FAILED: -30"}},
        // A second initialisation is the library's "already initialised", passed on unchanged.
        {"OpenMBIMPorts", [&] { return m_api->OpenMBIMPorts(InterfaceIdA()); }, 0,
         {"DEBUG\tInitializing MBIM Ports...", "DEBUG\tMBIM Ports Initialization SUCCESS"}},
        {"OpenMBIMPorts", [&] { return m_api->OpenMBIMPorts(InterfaceIdA()); }, 1,
         {"DEBUG\tInitializing MBIM Ports...", "DEBUG\tMBIM Ports Initialization FAILED. Result Code: 1"}},
    });
    EXPECT_EQ(flag, 7);
    EXPECT_EQ(crc, 0x5555);
    EXPECT_EQ(index, 0x5555u);
    for (const simmodem::LogEntry& entry : sim.Log())
        EXPECT_TRUE(entry.op != SIMMODEM_OP_SET && entry.op != SIMMODEM_OP_QUERY) << "nothing reached the modem";
}

TEST_F(NuvikBinding, CheckMbimLogsTheReadyFlag) {
    Create(Library::Product);
    StartModem();
    struct Step {
        const char* name;
        std::function<void()> before;
        int ready;
    } steps[] = {
        {"before the library is initialised", [] {}, 0},
        {"initialised", [this] { EXPECT_EQ(m_api->OpenMBIMPorts(InterfaceIdA()), 0); }, 1},
        {"module gone", [this] { sim.RemoveInterface(0); EXPECT_TRUE(WaitForKessaReady(0)); }, 0},
        {"module back", [this] { sim.ArriveInterface(0); EXPECT_TRUE(WaitForKessaReady(1)); }, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.before();
        ClearLines();
        uint8_t ready = 0xAA;
        EXPECT_EQ(m_api->CheckMBIM(&ready), 0);
        EXPECT_EQ(ready, step.ready);
        EXPECT_EQ(Messages("CNuvikTarvoApi::CheckMBIM"),
                  (std::vector<std::string>{"DEBUG\tQuerying MBIM Ports...",
                                            "DEBUG\tCheckMBIM API SUCCESS, bStatus = " + std::to_string(step.ready)}));
    }
}

TEST_F(NuvikBinding, LengthsOf64KiBOrMoreAreRefusedWithoutACall) {
    Create(Library::Product);
    StartModem();
    ASSERT_EQ(m_api->OpenMBIMPorts(InterfaceIdA()), 0);
    ASSERT_EQ(m_api->OpenDeviceSvc(), 0);
    const Bytes big = MakeImage(65548, 6);
    // Its length modulo 65536 is 12: a check over that would cover these first 9 bytes only.
    Bytes head(big.begin(), big.begin() + 12);
    Bytes other = big;
    other[20000] ^= 0xFF;
    const uint32_t n = static_cast<uint32_t>(big.size());
    const std::string refused = "DEBUG\t65536 bytes are more than the library can check";
    const std::string refusedBig = "DEBUG\t65548 bytes are more than the library can check";

    struct CrcCase {
        uint32_t length;
        int result;
        std::vector<std::string> lines;
    } crcCases[] = {
        {65535, 0, {"DEBUG\tGetFileCRC...", "DEBUG\tGetFileCRC SUCCESS"}},
        {65536, -1, {"DEBUG\tGetFileCRC...", refused, "DEBUG\tGetFileCRC FAILED: -1"}},
        {n, -1, {"DEBUG\tGetFileCRC...", refusedBig, "DEBUG\tGetFileCRC FAILED: -1"}},
    };
    for (const CrcCase& c : crcCases) {
        SCOPED_TRACE(c.length);
        ClearLines();
        uint16_t crc = 0x5555;
        EXPECT_EQ(m_api->GetFileCRC(big.data(), c.length, &crc), c.result);
        EXPECT_EQ(crc, c.result == 0 ? FileCrc(Bytes(big.begin(), big.begin() + c.length)) : 0x5555);
        EXPECT_EQ(Messages("CNuvikTarvoApi::GetFileCRC"), c.lines);
    }

    struct WriteCase {
        const char* name;
        const Bytes* a;
        uint32_t lengthA;
        const Bytes* b;
        uint32_t lengthB;
        int result;
        std::vector<std::string> lines;
        uint8_t equal;
    } writeCases[] = {
        {"both just short enough", &big, 65535, &big, 65535, 0, {"DEBUG\tIsWrite SUCCESS"}, 1},
        {"first too long", &big, 65536, &big, 65535, -1, {refused, "DEBUG\tIsWrite FAILED"}, 0xAA},
        {"second too long", &big, 65535, &big, 65536, -1, {refused, "DEBUG\tIsWrite FAILED"}, 0xAA},
        {"would match modulo 65536", &other, n, &head, 12, -1, {refusedBig, "DEBUG\tIsWrite FAILED"}, 0xAA},
    };
    for (const WriteCase& c : writeCases) {
        SCOPED_TRACE(c.name);
        ClearLines();
        uint8_t equal = 0xAA;
        EXPECT_EQ(m_api->IsWrite(c.a->data(), c.lengthA, c.b->data(), c.lengthB, &equal), c.result);
        EXPECT_EQ(equal, c.equal);
        EXPECT_EQ(Messages("CNuvikTarvoApi::IsWrite"), c.lines);
    }
}

TEST_F(NuvikBinding, FirmwareUpdateIsSeenWhileItsEventExists) {
    Create(Library::Absent);
    auto running = [this] {
        uint8_t value = 0xAA;
        m_api->IsFwUpdateRunning(&value);
        return value;
    };
    EXPECT_EQ(running(), 0);
    {
        CUniqueHandle update(::CreateEventA(nullptr, TRUE, FALSE, kFirmwareUpdateEvent));
        ASSERT_TRUE(update.IsValid());
        EXPECT_EQ(running(), 1);
        EXPECT_EQ(running(), 1) << "its handle is closed after each look";
    }
    EXPECT_EQ(running(), 0);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(NuvikBinding, OneInstanceForEveryThread) {
    UseLibrary(Library::Product);
    std::atomic<bool> go{false};
    CNuvikTarvoApi* seen[8] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&go, &slot] {
        while (!go) std::this_thread::yield();
        slot = CNuvikTarvoApi::GetInstance();
    });
    go = true;
    for (std::thread& t : threads) t.join();
    ASSERT_NE(seen[0], nullptr);
    for (CNuvikTarvoApi* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(CountText("New Nuvik Instance"), 1u);
    EXPECT_EQ(CountText("Init Success"), 1u);
    CUniqueHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, "NuvikTarvoApiMutex"));
    EXPECT_TRUE(mutex.IsValid()) << "created with the instance and kept";
}
