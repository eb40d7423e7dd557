// A console reporter that also keeps each benchmark's time per iteration, so a program can print
// ratios between benchmarks of the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>

class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                mNanos[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // Time per iteration in the benchmark's unit (ns by default), or 0.
    double Time(const std::string& name) const
    {
        auto it = mNanos.find(name);
        return it == mNanos.end() ? 0 : it->second;
    }

private:
    std::map<std::string, double> mNanos;
};
