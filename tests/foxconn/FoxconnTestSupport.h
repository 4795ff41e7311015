// Standard-output capture for the Foxconn tests; log lines: LogCapture.h.
#pragma once

#include "LogCapture.h"

#include <string>

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
