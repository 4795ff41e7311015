#include "FiboSimModem.h"

#include <cctype>

namespace fibosim {

namespace {
// A cursor over one command line.
class Scanner {
public:
    explicit Scanner(const std::string& text) : m_text(text) {}
    bool AtEnd() const { return m_pos == m_text.size(); }
    bool Take(char c) {
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    // One or more characters accepted by the predicate.
    template <typename Pred>
    bool TakeRun(Pred accept, std::string& out) {
        size_t start = m_pos;
        while (m_pos < m_text.size() && accept(static_cast<unsigned char>(m_text[m_pos]))) ++m_pos;
        out.assign(m_text, start, m_pos - start);
        return m_pos > start;
    }

private:
    const std::string& m_text;
    size_t m_pos = 0;
};

bool IsDecimal(unsigned char c) { return std::isdigit(c) != 0; }
bool IsHex(unsigned char c) { return std::isxdigit(c) != 0; }

std::string BandKey(const std::string& hexDigits) {
    std::string key;
    for (char c : hexDigits) {
        if (key.empty() && c == '0') continue;
        key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return key.empty() ? "0" : key;
}
}  // namespace

bool ParseLine(const std::string& line, std::vector<Row>& rows) {
    Scanner scan(line);
    std::string technology;
    if (!scan.TakeRun(IsDecimal, technology)) return false;
    std::vector<Row> parsed;
    do {
        Row row;
        row.technology = technology;
        std::string digits;
        if (!scan.Take(',') || !scan.TakeRun(IsDecimal, row.value)) return false;
        if (!scan.Take(',') || !scan.Take('"') || !scan.Take('0') || !scan.Take('x')) return false;
        if (!scan.TakeRun(IsHex, digits) || !scan.Take('"')) return false;
        row.mask = "0x" + digits;
        row.band = BandKey(digits);
        parsed.push_back(row);
    } while (!scan.AtEnd());
    rows = parsed;
    return true;
}

void Modem::Reset() {
    mbimNotReadyPolls = 0;
    enable = 0;
    mode = 0;
    profile = 0;
    on = 0;
    imei = "866123045678901";
    Clear();
    acceptedLines.clear();
    m_faults.clear();
    m_calls.clear();
}

bool Modem::Enter(const std::string& entryPoint, int& result) {
    ++m_calls[entryPoint];
    auto it = m_faults.find(entryPoint);
    if (it == m_faults.end()) return false;
    Fault& fault = it->second;
    if (fault.skip > 0) {
        --fault.skip;
        return false;
    }
    if (fault.count == 0) return false;
    if (fault.count > 0) --fault.count;
    result = fault.result;
    return true;
}

int Modem::CallCount(const std::string& entryPoint) const {
    auto it = m_calls.find(entryPoint);
    return it == m_calls.end() ? 0 : it->second;
}

void Modem::SetFault(const std::string& entryPoint, const Fault& fault) {
    if (fault.count == 0)
        m_faults.erase(entryPoint);
    else
        m_faults[entryPoint] = fault;
}

int Modem::StoreLine(const std::string& line) {
    std::vector<Row> parsed;
    if (!ParseLine(line, parsed)) return kInvalid;
    for (const Row& row : parsed) {
        bool replaced = false;
        for (Row& existing : rows) {
            if (existing.technology == row.technology && existing.band == row.band) {
                existing = row;
                replaced = true;
                break;
            }
        }
        if (!replaced) rows.push_back(row);
    }
    return kOk;
}

void Modem::Clear() {
    rows.clear();
    hasReportedText = false;
    reportedText.clear();
}

// One row per line; rows that would not fit the buffer with its terminator are left off.
std::string Modem::TableText() const {
    std::string text;
    for (const Row& row : rows) {
        std::string entry = row.technology + "," + row.value + ",\"" + row.mask + "\"\r\n";
        if (text.size() + entry.size() > kTextBufferSize - 1) break;
        text += entry;
    }
    return text;
}

std::string Modem::ReportedBytes() const {
    std::string text = hasReportedText ? reportedText : TableText();
    if (text.size() > kTextBufferSize) text.resize(kTextBufferSize);
    return text;
}

}  // namespace fibosim
