// One log line to the file sink (open, stamp, write, flush, close), on the
// fixed log path; the path setting, once making the folders and once finding
// them there; and the check alone, which also runs before the open that follows
// a failed one.
#include "BenchStats.h"
#include "CLogFolderChain.h"
#include "Logger.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
const wchar_t kLogFile[] = L"C:\\ProgramData\\Orvane\\Tarvo\\Debug\\Log.txt";
const wchar_t* const kLogFolders[] = {L"C:\\ProgramData\\Orvane\\Tarvo\\Debug", L"C:\\ProgramData\\Orvane\\Tarvo",
                                      L"C:\\ProgramData\\Orvane"};

// The log file and its folders, innermost first; a folder that holds anything
// else stays, and then the setting has nothing to make.
bool RemoveLogFolders() {
    DeleteFileW(kLogFile);
    for (const wchar_t* folder : kLogFolders) RemoveDirectoryW(folder);
    return GetFileAttributesW(kLogFolders[2]) == INVALID_FILE_ATTRIBUTES;
}
}  // namespace

int main(int argc, char** argv) {
    int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    // The service's own drive, whatever folder the bench was started from.
    SetCurrentDirectoryW(L"C:\\");

    CLatencies making;
    CLatencies finding;
    double start = 0;
    for (int i = 0; i < std::max(iterations / 100, 5); ++i) {
        if (!RemoveLogFolders()) {
            std::printf("C:\\ProgramData\\Orvane holds more than the log: no setting that makes the folders\n");
            break;
        }
        start = CLatencies::NowUs();
        LogSetFilePath(kLogFile);
        making.Add(CLatencies::NowUs() - start);
        start = CLatencies::NowUs();
        LogSetFilePath(kLogFile);
        finding.Add(CLatencies::NowUs() - start);
    }
    DeleteFileW(kLogFile);
    LogSetFlags(LOG_FLAG_FILE | LOG_FLAG_TRACE);

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

    making.Print("log path setting, the three folders made");
    finding.Print("log path setting, the folders there");
    line.Print("one LogWrite line to the log file");
    check.Print("folder chain check (path setting, after a failed open)");
    std::printf("lines in the file: %zu of %d\n", written, iterations);
    return written == static_cast<size_t>(iterations) ? 0 : 1;
}
