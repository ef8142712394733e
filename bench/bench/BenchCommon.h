// What the benchmark's runs share: the clock, figures over several runs and
// their table rows, and the channels its clients tune.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / frequency;
}

struct Figure {
    std::vector<double> runs;
    void Add(double v) { runs.push_back(v); }
    double Median() const
    {
        if (runs.empty()) return 0;
        std::vector<double> v(runs);
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double Min() const { return runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end()); }
    double Max() const { return runs.empty() ? 0 : *std::max_element(runs.begin(), runs.end()); }
};

inline void Row(const char* name, const Figure& f, const char* unit, int decimals = 1)
{
    std::printf("| %-44s | %10.*f | %10.*f .. %-10.*f | %-8s |\n", name, decimals, f.Median(), decimals, f.Min(),
                decimals, f.Max(), unit);
}

// The head of a table of Rows.
inline void TableHead()
{
    std::printf("| %-44s | %10s | %-24s | %-8s |\n", "figure", "median", "spread", "unit");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(12, '-').c_str(),
                std::string(26, '-').c_str(), std::string(10, '-').c_str());
}

inline double Percentile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * double(v.size() - 1) + 0.5))];
}

constexpr uint32_t kFrequencyCh13 = 473143, kFrequencyCh14 = 479143;  // kHz
constexpr uint32_t kTsidBs01 = 0x4010;
