// Log and standard-output capture for the Foxconn tests.
#pragma once

#include <string>
#include <vector>

// Switches the logger's debug sink on (with function names) and keeps every
// line until destroyed; the logger is switched off again afterwards.
class CLogCapture {
public:
    CLogCapture();
    ~CLogCapture();
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    std::vector<std::string> Lines() const;
    bool Has(const std::string& line) const;
    // Lines of one level ("INFO", "DEBUG", "ERROR").
    std::vector<std::string> OfLevel(const std::string& level) const;
    void Clear();
};

// Sends the C runtime's standard output to a file while it lives.
class CStdoutCapture {
public:
    CStdoutCapture();
    ~CStdoutCapture();
    CStdoutCapture(const CStdoutCapture&) = delete;
    CStdoutCapture& operator=(const CStdoutCapture&) = delete;

    // Ends the capture and returns what was written.
    std::string Finish();

private:
    std::wstring m_path;
    int m_saved = -1;
};
