// One log line to the file sink (open, the check of its handle, stamp, write,
// close), on the fixed log path, and one that makes the file first; the path
// setting, once making the folders and once finding them there; and the chain
// check alone, which also runs before the open that follows a failed one.
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

std::string ReadText(const wchar_t* path) {
    std::string text;
    if (FILE* file = _wfopen(path, L"rb")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

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
    std::string text = ReadText(kLogFile);
    size_t written = 0;
    for (size_t at = text.find("back-off on"); at != std::string::npos; at = text.find("back-off on", at + 1)) ++written;

    // Kept apart: the file is looked at and removed around each of these lines.
    CLatencies makingFile;
    size_t madeLines = 0;
    for (int i = 0; i < iterations / 10; ++i) {
        DeleteFileW(kLogFile);
        start = CLatencies::NowUs();
        LogWrite("CTarvoApplication::Run", "P-sensor away, back-off off", 0);
        makingFile.Add(CLatencies::NowUs() - start);
        if (ReadText(kLogFile).find("back-off off") != std::string::npos) ++madeLines;
    }
    LogSetFlags(0);

    CLatencies check;
    for (int i = 0; i < iterations / 10; ++i) {
        start = CLatencies::NowUs();
        CLogFolderChain::Check(kLogFile);
        check.Add(CLatencies::NowUs() - start);
    }

    DeleteFileW(kLogFile);

    making.Print("log path setting, the three folders made");
    finding.Print("log path setting, the folders there");
    line.Print("one LogWrite line to the log file");
    makingFile.Print("one LogWrite line that makes the log file");
    check.Print("folder chain check (path setting, after a failed open)");
    std::printf("lines in the file: %zu of %d; files made with their line: %zu of %d\n", written, iterations,
                madeLines, iterations / 10);
    return written == static_cast<size_t>(iterations) && madeLines == static_cast<size_t>(iterations / 10) ? 0 : 1;
}
