// Captures what the logger sends to its "Debug" sink, one entry per line.
// Header-only: the including test links the service library (the logger).
#pragma once

#include "Logger.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class CLogCapture {
public:
    // Switches the logger to the debug sink (plus the given flags) and captures.
    explicit CLogCapture(uint32_t extraFlags = LOG_FLAG_TRACE) {
        Storage().clear();
        LogSetDebugSink(&CLogCapture::Sink);
        LogSetFlags(LOG_FLAG_DEBUG | extraFlags);
    }
    ~CLogCapture() {
        SetLineHook(nullptr);
        LogSetFlags(0);
        LogSetDebugSink(nullptr);
    }

    static std::vector<std::string> All() {
        std::lock_guard<std::mutex> guard(Lock());
        return Storage();
    }
    // Lines that contain text.
    static size_t Count(const std::string& text) {
        std::vector<std::string> lines = All();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }
    static bool Has(const std::string& text) { return Count(text) > 0; }
    // A line that is exactly the text.
    static bool HasLine(const std::string& line) {
        std::vector<std::string> lines = All();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // Lines of one level ("INFO", "DEBUG", "ERROR").
    static std::vector<std::string> OfLevel(const std::string& level) {
        std::vector<std::string> lines;
        for (const std::string& line : All())
            if (line.find("\t" + level + "\t") != std::string::npos) lines.push_back(line);
        return lines;
    }
    static std::vector<std::string> Lines() { return All(); }
    static void Clear() {
        std::lock_guard<std::mutex> guard(Lock());
        Storage().clear();
    }
    // Called with each line on the logging thread, before it is captured: a
    // test acts at a chosen line of another thread while that thread waits
    // (under the logger's lock, so the hook must not log). Null: none.
    using LineHook = void (*)(const char* text);
    static void SetLineHook(LineHook hook) { Hook().store(hook); }

private:
    static void Sink(const char* text) {
        if (LineHook hook = Hook().load()) hook(text);
        std::lock_guard<std::mutex> guard(Lock());
        Storage().push_back(text);
    }
    static std::atomic<LineHook>& Hook() {
        static std::atomic<LineHook> hook{nullptr};
        return hook;
    }
    static std::vector<std::string>& Storage() {
        static std::vector<std::string> lines;
        return lines;
    }
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
};
