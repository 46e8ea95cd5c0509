// One whole fit run of 8 active peaks on 20000 points: the reference curvature pass and the
// fast one side by side, with the number of steps and the longest time between two points
// where the window processes messages.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "bench/FitProblem.h"
#include "fitting/FitRun.h"

namespace {

using namespace sonarix;
using Clock = std::chrono::steady_clock;

class TimingWindow : public FitWindow {
public:
    void ShowStartFit(bool) override {}
    void FitRange(double& from, double& to) override {
        from = 0;
        to = 100000;
    }
    void ShowProgress(bool) override { m_last = Clock::now(); }
    void StepProgress() override {}
    void ProcessMessages() override {
        const auto now = Clock::now();
        longest = std::max(longest, std::chrono::duration<double>(now - m_last).count());
        m_last = now;
    }
    void RefreshPeakLabels() override {}
    void RedrawFit() override {}
    void Report(const Notice&) override {}
    double longest = 0;

private:
    Clock::time_point m_last = Clock::now();
};

void Run(benchmark::State& state, CurvaturePass pass) {
    auto fit = std::make_unique<FitState>();
    int steps = 0;
    double longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PrepareFitProblem(*fit);
        FitRunner runner(*fit);
        runner.UseSolver({pass, 2});
        TimingWindow w;
        state.ResumeTiming();
        steps = runner.Run(w);
        longest = std::max(longest, w.longest);
    }
    state.counters["steps"] = steps;
    state.counters["longest_step_ms"] = 1e3 * longest;
}

void BM_FitRunReference(benchmark::State& state) { Run(state, CurvaturePass::Reference); }
void BM_FitRunFast(benchmark::State& state) { Run(state, CurvaturePass::Fast); }
BENCHMARK(BM_FitRunReference)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_FitRunFast)->Unit(benchmark::kSecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
