// One whole fit run of 8 active peaks on 20000 points: the reference curvature pass and the
// fast one side by side, with the number of steps and the longest time between two points
// where the window processes messages.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <numbers>
#include <random>

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
    double longest = 0;

private:
    Clock::time_point m_last = Clock::now();
};

double T(double degrees) { return std::tan(degrees * std::numbers::pi / 360.0); }

void Prepare(FitState& fit) {
    const double f[8] = {1200, 2273, 3649, 4906, 6165, 7377, 8434, 9372};
    Params truth{};
    for (int k = 1; k <= 8; ++k) {
        truth[4 * k - 3] = f[k - 1];
        truth[4 * k - 2] = 5.0 + k;
        truth[4 * k - 1] = 10.0 + 4.0 * k;
        truth[4 * k] = T(-150.0 + 40.0 * k);
    }
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 0.05);
    fit.data.FitCount = kFitCapacity;
    for (int i = 1; i <= kFitCapacity; ++i) {
        const double x = 100.0 + 0.495 * i;
        fit.data.FitFrequency[i] = x;
        fit.data.FitAmplitude[i] = ResonanceModel(truth, x) + noise(rng);
    }
    for (int k = 1; k <= 8; ++k) {
        fit.peaks.PeakFrequency[k] = f[k - 1] * (k % 2 ? 1.004 : 0.996);
        fit.peaks.PeakAmplitude[k] = (5.0 + k) * 1.2;
        fit.peaks.PeakWidth[k] = (10.0 + 4.0 * k) * 0.85;
        fit.peaks.PeakPhase[k] = -150.0 + 40.0 * k + 15.0;
    }
}

void Run(benchmark::State& state, CurvaturePass pass) {
    UseCurvaturePass(pass);
    auto fit = std::make_unique<FitState>();
    int steps = 0;
    double longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Prepare(*fit);
        FitRunner runner(*fit);
        TimingWindow w;
        state.ResumeTiming();
        steps = runner.Run(w);
        longest = std::max(longest, w.longest);
    }
    state.counters["steps"] = steps;
    state.counters["longest_step_ms"] = 1e3 * longest;
    UseCurvaturePass(CurvaturePass::Fast);
}

void BM_FitRunReference(benchmark::State& state) { Run(state, CurvaturePass::Reference); }
void BM_FitRunFast(benchmark::State& state) { Run(state, CurvaturePass::Fast); }
BENCHMARK(BM_FitRunReference)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_FitRunFast)->Unit(benchmark::kSecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
