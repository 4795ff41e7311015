#include "FoxconnTestSupport.h"

#include "Logger.h"
#include "TestSupport.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

namespace {
std::mutex g_linesLock;
std::vector<std::string> g_lines;

void Sink(const char* text) {
    std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.push_back(text);
}
}  // namespace

CLogCapture::CLogCapture() {
    Clear();
    LogSetDebugSink(Sink);
    LogSetFlags(LOG_FLAG_DEBUG | LOG_FLAG_TRACE);
}

CLogCapture::~CLogCapture() {
    LogSetFlags(0);
    LogSetDebugSink(nullptr);
}

std::vector<std::string> CLogCapture::Lines() const {
    std::lock_guard<std::mutex> guard(g_linesLock);
    return g_lines;
}

bool CLogCapture::Has(const std::string& line) const {
    for (const std::string& l : Lines())
        if (l == line) return true;
    return false;
}

std::vector<std::string> CLogCapture::OfLevel(const std::string& level) const {
    std::vector<std::string> lines;
    for (const std::string& l : Lines())
        if (l.find("\t" + level + "\t") != std::string::npos) lines.push_back(l);
    return lines;
}

void CLogCapture::Clear() {
    std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.clear();
}

CStdoutCapture::CStdoutCapture() {
    m_path = testsupport::BuildPathW(L"tests\\stdout-" + std::to_wstring(::GetCurrentProcessId()) + L".txt");
    std::fflush(stdout);
    m_saved = _dup(_fileno(stdout));
    int file = _wopen(m_path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (file >= 0) {
        _dup2(file, _fileno(stdout));
        _close(file);
    }
}

CStdoutCapture::~CStdoutCapture() { Finish(); }

std::string CStdoutCapture::Finish() {
    if (m_saved < 0) return std::string();
    std::fflush(stdout);
    _dup2(m_saved, _fileno(stdout));
    _close(m_saved);
    m_saved = -1;
    std::string text = testsupport::ReadFileText(m_path);
    testsupport::RemoveFile(m_path);
    return text;
}
