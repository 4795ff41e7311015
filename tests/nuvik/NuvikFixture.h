// What the Nuvik tests share: the simulated modem registered and reset per
// test, its interface offered as the machine's WWAN adapter, a working folder
// of the test's own as the current directory (the SAR EFS files are relative
// to it), the fast clock with every requested sleep recorded, and the log
// captured line by line with an optional hook that runs as a line is written.
//
// Kessa.dll is loaded by the code under test; a test chooses which one by
// adding a folder before the first CNuvikTarvoApi::GetInstance.
#pragma once

#include "CSimModemControl.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nuviktest {

using Bytes = std::vector<uint8_t>;

extern const char kLumoFile[];
extern const char kDovraFile[];
extern const char kFirmwareUpdateEvent[];

// CRC-16/X-25 of all bytes but the last three, as the library checks a SAR file
// (0xFFFB when there are fewer than four).
uint16_t FileCrc(const Bytes& data);
// A SAR image of the given size; the seed makes images differ. It holds 7E and
// 7D bytes, which the SAR data packets escape.
Bytes MakeImage(size_t size, uint8_t seed);

// The library's own ready flag, read through its export without logging;
// -1 when Kessa.dll is not loaded.
int KessaReady();
// Polls until the library's ready flag is the given one (at most 5 s).
bool WaitForKessaReady(int ready);

struct LogLine {
    std::string function;  // empty for the trace lines
    std::string level;
    std::string message;
    // "Function\tLEVEL\tmessage", as the line is written.
    std::string text;
};

enum class Library { Absent, Product, NoIsWrite };

class NuvikFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes this Kessa.dll the one that LoadLibraryExA finds (before the binding is created).
    static void UseLibrary(Library library);

    // Resets the simulator to this one modem and offers its interface as the WWAN adapter.
    void StartModem(const simmodem::InterfaceSpec& modem = simmodem::InterfaceSpec::Nuvik(),
                    const simmodem::Settings& settings = simmodem::Settings(),
                    const std::vector<simmodem::FaultSpec>& faults = {});
    std::string InterfaceIdA();

    // A file in the working folder; Remove deletes it.
    void WriteWorkFile(const char* name, const Bytes& bytes);
    void RemoveWorkFile(const char* name);

    // The captured lines, all or of one function, as "LEVEL\tmessage".
    static std::vector<LogLine> Lines();
    static std::vector<std::string> Messages(const std::string& function);
    static size_t CountText(const std::string& text);
    static void ClearLines();
    // Runs with each line as it is written, under the logger's lock.
    static void SetLogHook(std::function<void(const LogLine&)> hook);

    // Every duration requested from the clock, in order; a hook sees each as it comes.
    static std::vector<DWORD> Sleeps();
    static size_t CountSleeps(DWORD ms);
    static void SetSleepHook(std::function<void(DWORD ms)> hook);

    // The diag state and the sets and queries on one CID of the diag service.
    SimModemDiagState Diag();
    std::vector<simmodem::LogEntry> DiagCommands(uint32_t cid, uint32_t op);

    CSimModemControl sim;
    std::wstring m_workDir;
    std::wstring m_previousDir;
};

}  // namespace nuviktest
