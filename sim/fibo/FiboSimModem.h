// The modem behind the simulated library: its body-SAR settings, its table
// of rows, the faults a test planted and the calls it has seen. No platform
// calls: the exported face (FiboSim.cpp) locks, logs and copies buffers.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace fibosim {

constexpr size_t kTextBufferSize = 1024;
constexpr size_t kImeiBufferSize = 16;

enum : int { kOk = 0, kLibNull = 1, kCannotOpen = 2, kSendFail = 3, kInvalid = 4 };

struct Row {
    std::string technology;
    std::string value;
    std::string mask;  // as received, "0x..." without the quotes
    std::string band;  // the mask's digits, lower case, without leading zeros: the row's identity
};

struct Fault {
    int result = 0;
    int skip = 0;
    int count = 0;  // -1 every call
};

// Parses "tech,value,"0xmask"[,value,"0xmask"]...": false for anything else.
bool ParseLine(const std::string& line, std::vector<Row>& rows);

class Modem {
public:
    Modem() { Reset(); }
    // The start state of a modem fresh from the factory: empty table, mode 0.
    void Reset();

    // Counts the call; true (with the result to return) when a fault fires.
    bool Enter(const std::string& entryPoint, int& result);
    int CallCount(const std::string& entryPoint) const;
    void SetFault(const std::string& entryPoint, const Fault& fault);

    // A line's rows replace the rows of the same technology and band, others are
    // added; kInvalid (nothing stored) for a line that does not parse.
    int StoreLine(const std::string& line);
    void Clear();
    std::string TableText() const;
    // The bytes get_BodySarValue writes: the reported text or the rows, cut to the buffer.
    std::string ReportedBytes() const;

    int mbimNotReadyPolls = 0;
    int enable = 0;
    int mode = 0;
    int profile = 0;
    int on = 0;
    std::string imei;
    bool hasReportedText = false;
    std::string reportedText;
    std::vector<Row> rows;
    std::vector<std::string> acceptedLines;

private:
    std::map<std::string, Fault> m_faults;
    std::map<std::string, int> m_calls;
};

}  // namespace fibosim
