#pragma once
// Same-run comparisons for the benchmark programs: a cost and its baseline measured in CPU time
// of the calling thread, in interleaved rounds (cost then baseline, baseline then cost, ...), so
// that a load that comes and goes on the machine falls on both alike. Each round gives one ratio;
// the minimum and the median of the rounds are reported.
//
// A comparison that is a row of ./scripts/bench's table is printed as a line of its own:
//   RATIO|<cost>|<baseline>|<min>|<median>|<goal>|<worst round>
// which scripts/bench collects.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace benchrounds {

// The CPU time the calling thread has used, in seconds.
inline double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One side of a comparison: runs one batch and returns the CPU seconds one unit of it took
// (a side may leave untimed set-up outside what it measures).
using TSide = std::function<double()>;

// A side that runs step `count` times and measures all of them together.
inline TSide Repeat(int count, std::function<void()> step) {
    return [count, step = std::move(step)] {
        const double start = ThreadCpuSeconds();
        for (int i = 0; i < count; ++i) step();
        return (ThreadCpuSeconds() - start) / count;
    };
}

inline double Max(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }
inline double Min(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }
inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct TComparison {
    std::vector<double> Cost, Baseline, Ratios;  // per round: seconds per unit, and their ratio
};

// Runs the rounds, after one untimed warm-up of each side.
inline TComparison Compare(int rounds, const TSide& cost, const TSide& baseline) {
    TComparison r;
    cost();
    baseline();
    for (int i = 0; i < rounds; ++i) {
        double c = 0, b = 0;
        if (i % 2 == 0) {
            c = cost();
            b = baseline();
        } else {
            b = baseline();
            c = cost();
        }
        r.Cost.push_back(c);
        r.Baseline.push_back(b);
        r.Ratios.push_back(b > 0 ? c / b : 0);
    }
    return r;
}

// Prints the comparison for a reader (times in microseconds, min-median), and as a table row
// when goal is given (e.g. "<= 2", or "<= 1.2 every round" to hold the worst round to it too).
inline void Report(const std::string& cost, const std::string& baseline, const TComparison& r,
                   const std::string& goal = {}) {
    std::printf("%s: %.1f-%.1f us against %.1f-%.1f us for %s: %.2f-%.2fx CPU time (min-median of %zu rounds, "
                "worst %.2fx)\n",
                cost.c_str(), Min(r.Cost) * 1e6, Median(r.Cost) * 1e6, Min(r.Baseline) * 1e6, Median(r.Baseline) * 1e6,
                baseline.c_str(), Min(r.Ratios), Median(r.Ratios), r.Ratios.size(), Max(r.Ratios));
    if (!goal.empty())
        std::printf("RATIO|%s|%s|%.2f|%.2f|%s|%.2f\n", cost.c_str(), baseline.c_str(), Min(r.Ratios), Median(r.Ratios),
                    goal.c_str(), Max(r.Ratios));
    std::fflush(stdout);
}

}  // namespace benchrounds
