#include "FoxconnTestSupport.h"

#include "Logger.h"
#include "TestSupport.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

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
