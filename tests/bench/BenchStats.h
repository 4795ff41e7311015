// Latency samples and their median and 99th percentile, in microseconds.
#pragma once

#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <vector>

class CLatencies {
public:
    static double NowUs() {
        LARGE_INTEGER counter;
        LARGE_INTEGER frequency;
        QueryPerformanceCounter(&counter);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
    }
    void Add(double us) { m_samples.push_back(us); }
    size_t Count() const { return m_samples.size(); }
    double Percentile(double p) const {
        if (m_samples.empty()) return 0;
        std::vector<double> sorted = m_samples;
        std::sort(sorted.begin(), sorted.end());
        size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
        return sorted[std::min(index, sorted.size() - 1)];
    }
    void Print(const char* name) const {
        std::printf("%-58s n=%4zu  median %9.1f us  p99 %9.1f us\n", name, Count(), Percentile(0.5), Percentile(0.99));
    }

private:
    std::vector<double> m_samples;
};
