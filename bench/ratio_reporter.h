// Console output plus, at the end, each benchmark's time as a ratio of its
// baseline: a benchmark "Family/ours/..." is compared with
// "Family/baseline/..." of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace kest::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        printf("\nratio to baseline (ours / baseline, lower is faster):\n");
        for (const auto &[name, t] : times_) {
            size_t at = name.find("/ours");
            if (at == std::string::npos) continue;
            std::string base = name.substr(0, at) + "/baseline" + name.substr(at + 5);
            auto it = times_.find(base);
            if (it != times_.end() && it->second > 0) printf("  %-48s %6.2f\n", name.c_str(), t / it->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

inline int RunWithRatios(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace kest::bench
