// One log line to the file sink (open, stamp, write, flush, close), on the
// fixed log path; the path setting that makes and checks the folders; and the
// check alone, which also runs before the open that follows a failed one.
#include "BenchStats.h"
#include "CLogFolderChain.h"
#include "Logger.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
const wchar_t kLogFile[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
}  // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    // The service's own drive, whatever folder the bench was started from.
    SetCurrentDirectoryW(L"C:\\");
    DeleteFileW(kLogFile);

    CLatencies setting;
    double start = CLatencies::NowUs();
    LogSetFlags(LOG_FLAG_FILE | LOG_FLAG_TRACE);
    setting.Add(CLatencies::NowUs() - start);

    CLatencies line;
    for (int i = 0; i < iterations; ++i) {
        start = CLatencies::NowUs();
        LogWrite("CTarvoApplication::Run", "P-sensor proximity, back-off on", 0);
        line.Add(CLatencies::NowUs() - start);
    }
    LogSetFlags(0);

    CLatencies check;
    for (int i = 0; i < iterations / 10; ++i) {
        start = CLatencies::NowUs();
        CLogFolderChain::Check(kLogFile);
        check.Add(CLatencies::NowUs() - start);
    }

    std::string text;
    if (FILE* file = _wfopen(kLogFile, L"rb")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
        std::fclose(file);
    }
    size_t written = 0;
    for (size_t at = text.find("back-off on"); at != std::string::npos; at = text.find("back-off on", at + 1)) ++written;
    DeleteFileW(kLogFile);

    setting.Print("log path setting (folders made)");
    line.Print("one LogWrite line to the log file");
    check.Print("folder chain check (path setting, after a failed open)");
    std::printf("lines in the file: %zu of %d\n", written, iterations);
    return written == static_cast<size_t>(iterations) ? 0 : 1;
}
