// One log line to the file sink (open relative to the checked folder, the
// check of its handle, stamp, write, close), on the fixed log path; the same
// line while a reader holds the file sharing reading only, so that every line
// is lost (told once, the chain checked once a second), in rounds taken in
// turns with normal lines; one that makes the file first; the path setting,
// once making the folders and once finding them there; and the chain check
// alone, which also runs after a refused or lost line, once a second at most.
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
// else stays, and then the setting has nothing to make. The logger holds the
// log file's folder open until a path setting elsewhere: one without a path.
bool RemoveLogFolders() {
    LogSetFilePath(L"");
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

    // Rounds in turns, so that what else the machine does falls on both alike.
    const int kRounds = 5;
    CLatencies line;
    CLatencies held;
    size_t heldLines = 0;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < iterations / kRounds; ++i) {
            start = CLatencies::NowUs();
            LogWrite("CTarvoApplication::Run", "P-sensor proximity, back-off on", 0);
            line.Add(CLatencies::NowUs() - start);
        }
        HANDLE reader = CreateFileW(kLogFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (reader == INVALID_HANDLE_VALUE) {
            std::printf("the log file cannot be held by a reader\n");
            return 1;
        }
        for (int i = 0; i < iterations / kRounds; ++i) {
            start = CLatencies::NowUs();
            LogWrite("CTarvoApplication::Run", "P-sensor proximity while held", 0);
            held.Add(CLatencies::NowUs() - start);
            ++heldLines;
        }
        CloseHandle(reader);
    }
    std::string text = ReadText(kLogFile);
    size_t written = 0;
    for (size_t at = text.find("back-off on"); at != std::string::npos; at = text.find("back-off on", at + 1)) ++written;
    size_t heldWritten = 0;
    for (size_t at = text.find("while held"); at != std::string::npos; at = text.find("while held", at + 1)) ++heldWritten;

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
    held.Print("one LogWrite line while a reader shares reading only");
    std::printf("held line / line (medians): %.2f\n",
                line.Percentile(0.5) > 0 ? held.Percentile(0.5) / line.Percentile(0.5) : 0.0);
    makingFile.Print("one LogWrite line that makes the log file");
    check.Print("folder chain check (path setting, after a failed open)");
    const size_t expected = static_cast<size_t>(iterations / kRounds * kRounds);
    std::printf("lines in the file: %zu of %zu, while held: %zu of %zu; files made with their line: %zu of %d\n",
                written, expected, heldWritten, heldLines, madeLines, iterations / 10);
    return written == expected && heldWritten == 0 && madeLines == static_cast<size_t>(iterations / 10) ? 0 : 1;
}
