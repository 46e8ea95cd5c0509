// The resonance model, the Levenberg-Marquardt solver, the fit run, and the fast curvature
// pass against the reference.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "fitting/ComplexArithmetic.h"
#include "fitting/FitReport.h"
#include "fitting/FitRun.h"
#include "fitting/Marquardt.h"
#include "tests/TestSupport.h"
#include "tests/fitting/FakeFitWindow.h"

namespace sonarix {
namespace {

double T(double degrees) { return std::tan(degrees * std::numbers::pi / 360.0); }

Params Peaks(std::initializer_list<std::array<double, 4>> peaks) {
    Params p{};
    int k = 1;
    for (const auto& pk : peaks) {
        p[4 * k - 3] = pk[0];
        p[4 * k - 2] = pk[1];
        p[4 * k - 1] = pk[2];
        p[4 * k] = pk[3];
        ++k;
    }
    return p;
}

TEST(ComplexArithmetic, OperationsAsTheirFormulas) {
    const Complex u{3, 4}, v{1, -2};
    EXPECT_EQ(CAdd(u, v).Re, 4);
    EXPECT_EQ(CAdd(u, v).Im, 2);
    EXPECT_EQ(CMul(u, v).Re, 3 + 8);
    EXPECT_EQ(CMul(u, v).Im, -6 + 4);
    EXPECT_DOUBLE_EQ(CDiv(u, v).Re, (3 - 8) / 5.0);
    EXPECT_DOUBLE_EQ(CDiv(u, v).Im, (4 + 6) / 5.0);
    EXPECT_EQ(CAbs(u), 5);
    EXPECT_NEAR(CExp({0, std::numbers::pi / 2}).Re, 0, 1e-16);
    EXPECT_NEAR(CExp({1, 0}).Re, std::numbers::e, 1e-15);
}

TEST(ResonanceModel, SinglePeakTwoLimitsAndCancellation) {
    const Params one = Peaks({{1000, 1, 20, 0}});
    EXPECT_NEAR(ResonanceModel(one, 1000), 1.0, 1e-12);
    EXPECT_NEAR(ResonanceModel(one, 0), 0.04, 1e-15);
    EXPECT_NEAR(ResonanceModel(one, 980), 1.0 / std::sqrt(2.0), 0.02);
    // Peaks of zero or negative amplitude add nothing.
    const Params off = Peaks({{1000, 0, 20, 0}, {1200, -3, 20, 0.5}});
    for (double x : {0.0, 500.0, 1000.0, 1200.0}) EXPECT_EQ(ResonanceModel(off, x), 0.0);
    EXPECT_EQ(ResonanceModel(Peaks({{1000, 1, 20, 0}, {1200, -3, 20, 0}}), 1000),
              ResonanceModel(one, 1000));
    // +90 and -90 degrees cancel.
    const Params pair = Peaks({{1000, 2, 30, 1}, {1000, 2, 30, -1}});
    for (double x : {0.0, 700.0, 1000.0, 5000.0}) EXPECT_NEAR(ResonanceModel(pair, x), 0, 1e-12);
}

TEST(ResonanceModel, GradientIsTheCentralDifference) {
    const Params p = Peaks({{1000, 1, 20, 0.3}, {1100, 0.5, 30, -0.2}});
    double y = 0;
    Params g{};
    ModelWithGradient(p, 1010, kParams, y, g);
    EXPECT_EQ(y, ResonanceModel(p, 1010));
    Params plus = p, minus = p;
    plus[2] += 1e-6;
    minus[2] -= 1e-6;
    EXPECT_EQ(g[2], (ResonanceModel(plus, 1010) - ResonanceModel(minus, 1010)) / 2e-6);
    EXPECT_EQ(g[9], 0.0);  // a peak that does not take part
}

// Data from the model with the given peaks, x = first, first + step, ... (1-based arrays).
struct Data {
    std::vector<double> x{0.0}, y{0.0}, sigma{0.0};
    FitPoints Points() const {
        return FitPoints{x.data(), y.data(), sigma.data(), static_cast<int>(x.size()) - 1};
    }
};
Data Synthetic(const Params& truth, double first, double last, double step, double noise,
               unsigned seed = 1) {
    Data d;
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, noise);
    for (double x = first; x <= last; x += step) {
        d.x.push_back(x);
        d.y.push_back(ResonanceModel(truth, x) + (noise > 0 ? n(rng) : 0.0));
        d.sigma.push_back(1.0);
    }
    return d;
}

// The solver's steps on the reference pass.
class Solver : public testing::Test {
protected:
    static SolverState Reference() {
        SolverState s;
        s.options.pass = CurvaturePass::Reference;
        return s;
    }
    test::MessageRecorder messages;
};

TEST_F(Solver, NoFreeParameterOnlyRaisesLambda) {
    const Params truth = Peaks({{1000, 1, 20, 0}});
    const Data d = Synthetic(truth, 900, 1100, 5, 0);
    Params a = Peaks({{1010, 1, 20, 0}});
    const Params start = a;
    FitList lista{};
    SolverState s = Reference();
    MarquardtStep(d.Points(), a, lista, 0, s);
    EXPECT_EQ(a, start);
    EXPECT_DOUBLE_EQ(s.lambda, 0.01);
    EXPECT_EQ(s.chisq, s.chisqPrev);
    MarquardtStep(d.Points(), a, lista, 0, s);
    EXPECT_DOUBLE_EQ(s.lambda, 0.1);
    for (int j = 1; j <= kParams; ++j) EXPECT_EQ(lista[j], j);  // the list was completed
}

TEST_F(Solver, NoDataGivesChiSquareZeroAndARejectedStep) {
    Data empty;
    Params a = Peaks({{1000, 1, 20, 0}});
    const Params start = a;
    FitList lista{0, 1, 2, 3, 4};
    SolverState s = Reference();
    MarquardtStep(empty.Points(), a, lista, 4, s);
    EXPECT_EQ(s.chisq, 0.0);
    EXPECT_DOUBLE_EQ(s.lambda, 0.01);
    EXPECT_EQ(a, start);
}

TEST_F(Solver, LambdaAfterAnAcceptedFirstStepAndConvergence) {
    const Params truth = Peaks({{1000, 1, 20, T(30)}});
    const Data d = Synthetic(truth, 900, 1100, 2, 0);
    Params a = Peaks({{1005, 0.9, 22, T(20)}});
    FitList lista{0, 1, 2, 3, 4};
    SolverState s = Reference();
    MarquardtStep(d.Points(), a, lista, 4, s);
    EXPECT_DOUBLE_EQ(s.lambda, 0.0001);
    EXPECT_LT(s.chisq, 1.0);
    for (int i = 0; i < 20; ++i) MarquardtStep(d.Points(), a, lista, 4, s);
    EXPECT_NEAR(a[1], 1000, 1e-6);
    EXPECT_NEAR(a[2], 1, 1e-8);
    EXPECT_NEAR(a[3], 20, 1e-6);
    // The phase of a single peak does not show in the modulus: it is not determined.
}

TEST_F(Solver, ADuplicatedIndexIsAnImproperPermutation) {
    const Data d = Synthetic(Peaks({{1000, 1, 20, 0}}), 900, 1100, 5, 0);
    Params a = Peaks({{1000, 1, 20, 0}});
    const Params start = a;
    FitList lista{0, 1, 2, 2, 4};
    SolverState s = Reference();
    EXPECT_FALSE(MarquardtStep(d.Points(), a, lista, 4, s));  // its caller tells the user
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_EQ(s.lambda, -1.0);
    EXPECT_EQ(a, start);
    FitList outside{0, 0, 2, 3, 4};  // an index outside 1 ... 32 cannot be completed
    EXPECT_FALSE(MarquardtStep(d.Points(), a, outside, 4, s));
    EXPECT_EQ(s.lambda, -1.0);
}

TEST(GaussJordan, SolvesAndInverts) {
    Matrix a{}, b{};
    a[1][1] = 4, a[1][2] = 1, a[2][1] = 2, a[2][2] = 3;
    b[1][1] = 1, b[2][1] = 2;
    ASSERT_TRUE(GaussJordan(a, 2, b, 1));
    EXPECT_NEAR(b[1][1], 0.1, 1e-15);
    EXPECT_NEAR(b[2][1], 0.6, 1e-15);
    EXPECT_NEAR(a[1][1], 0.3, 1e-15);
    EXPECT_NEAR(a[1][2], -0.1, 1e-15);
}

TEST(GaussJordan, TiesGoToTheLastCandidate) {
    // All four entries tie; the last, (2, 2), is the first pivot. The matrix is singular, so
    // the second pivot is zero and the routine stops: b shows which row was eliminated.
    Matrix a{}, b{};
    a[1][1] = a[1][2] = a[2][1] = a[2][2] = 1;
    b[1][1] = 1, b[2][1] = 2;
    EXPECT_FALSE(GaussJordan(a, 2, b, 1));
    EXPECT_EQ(b[1][1], -1.0);  // row 1 - row 2: the pivot was row 2
    EXPECT_EQ(b[2][1], 2.0);
}

class FitRunTest : public testing::Test {
protected:
    void Load(const Data& d) {
        fit->data.FitCount = d.Points().ndata;
        for (int i = 1; i <= fit->data.FitCount; ++i) {
            fit->data.FitFrequency[i] = d.x[i];
            fit->data.FitAmplitude[i] = d.y[i];
        }
    }
    void SetPeak(int k, double f, double a, double w, double phase) {
        fit->peaks.PeakFrequency[k] = f;
        fit->peaks.PeakAmplitude[k] = a;
        fit->peaks.PeakWidth[k] = w;
        fit->peaks.PeakPhase[k] = phase;
    }
    void Defaults() {
        for (int k = 1; k <= kPeaks; ++k) SetPeak(k, 0, 0, 20, 0);
    }
    int RunOn(FitRunner& r, double from, double to) {
        w.from = from;
        w.to = to;
        return r.Run(w);
    }
    std::unique_ptr<FitState> fit = std::make_unique<FitState>();
    test::FakeFitWindow w;
    test::MessageRecorder messages;
};

const Params kThree = Peaks({{1500, 10, 15, T(30)}, {1800, 6, 20, T(-60)}, {2300, 8, 25, T(120)}});
// The same peaks as table rows (F, A, W, phase in degrees), 1-based.
using Peaks3 = std::array<std::array<double, 4>, 4>;
const Peaks3 kThreeTable = {{{}, {1500, 10, 15, 30}, {1800, 6, 20, -60}, {2300, 8, 25, 120}}};

TEST_F(FitRunTest, ThreeNoisyPeaksFromRoughGuesses) {
    Load(Synthetic(kThree, 1000, 3000, 1, 0.05));
    Defaults();
    SetPeak(1, 1500 * 1.015, 10 * 1.3, 15 * 0.75, 50);
    SetPeak(2, 1800 * 0.985, 6 * 0.75, 20 * 1.3, -40);
    SetPeak(3, 2300 * 1.01, 8 * 1.25, 25 * 0.8, 100);
    FitRunner runner(*fit);
    const int steps = RunOn(runner, 1000, 3000);
    EXPECT_LE(steps, kMostFitSteps);
    EXPECT_EQ(w.steps, steps);
    EXPECT_TRUE(w.startShown);
    EXPECT_FALSE(w.progressShown);
    const double f[] = {1500, 1800, 2300}, a[] = {10, 6, 8}, wd[] = {15, 20, 25};
    for (int k = 1; k <= 3; ++k) {
        EXPECT_NEAR(fit->peaks.PeakFrequency[k], f[k - 1], 0.1) << k;
        EXPECT_NEAR(fit->peaks.PeakAmplitude[k], a[k - 1], 0.01 * a[k - 1]) << k;
        EXPECT_NEAR(fit->peaks.PeakWidth[k], wd[k - 1], 0.01 * wd[k - 1]) << k;
    }
    // Only the phases relative to each other show in the modulus of the sum.
    auto relative = [&](int k) {
        double d = fit->peaks.PeakPhase[k] - fit->peaks.PeakPhase[1];
        return d > 180 ? d - 360 : d <= -180 ? d + 360 : d;
    };
    EXPECT_NEAR(relative(2), -90.0, 1.0);
    EXPECT_NEAR(relative(3), 90.0, 1.0);
    // The fit curve is the model of the final table.
    for (int i = 1; i <= fit->data.FitCount; i += 97) {
        EXPECT_EQ(fit->data.FitCurve[i],
                  ResonanceModel(PeakVector(fit->peaks), fit->data.FitFrequency[i]));
    }
}

// The whole-spectrum fit on points 10 Hz apart (a stepped sweep, whose steps read the modes
// before they have rung up) says that their positions are moved by it; on points 1 Hz apart
// (a fast measurement's) it says nothing of it.
TEST_F(FitRunTest, TheWholeFitOnASteppedSweepSaysThatRingUpMovesTheModes) {
    for (const double spacing : {10.0, 1.0}) {
        Load(Synthetic(kThree, 1000, 3000, spacing, 0.01));
        Defaults();
        FitRunner runner(*fit);
        w.from = 1000;
        w.to = 3000;
        FitSteps steps = runner.StartWhole(w);
        while (steps.Next()) {
        }
        ASSERT_TRUE(fit->Whole.has_value()) << spacing;
        EXPECT_EQ(runner.Notes().find("Hz apart (a stepped sweep)") != std::string::npos,
                  spacing == 10.0)
            << spacing << ": " << runner.Notes();
    }
}

TEST_F(FitRunTest, PointsAtTheRangeLimitsAreNotUsed) {
    Load(Synthetic(kThree, 1000, 1010, 1, 0));
    Defaults();
    FitRunner runner(*fit);
    fit->StopFit = false;
    w.onMessages = [&] { fit->StopFit = true; };
    RunOn(runner, 1002, 1008);
    EXPECT_EQ(runner.SelectedPoints(), 5);  // 1003 ... 1007
}

TEST_F(FitRunTest, NoActivePeakRunsExactly51Steps) {
    Load(Synthetic(kThree, 1000, 3000, 10, 0));
    Defaults();
    SetPeak(2, 1800, 0, 33, 45);
    FitRunner runner(*fit);
    EXPECT_EQ(RunOn(runner, 0, 5000), 51);
    EXPECT_EQ(w.redraws, 51);
    // Peaks of amplitude 0 keep frequency, width and phase.
    EXPECT_EQ(fit->peaks.PeakFrequency[2], 1800);
    EXPECT_EQ(fit->peaks.PeakWidth[2], 33);
    EXPECT_NEAR(fit->peaks.PeakPhase[2], 45, 1e-12);
}

TEST_F(FitRunTest, StopEndsTheRunAfterTheStepInProgress) {
    Load(Synthetic(kThree, 1000, 3000, 10, 0));
    Defaults();
    w.onMessages = [&] {
        if (w.messages == 3) fit->StopFit = true;
    };
    FitRunner runner(*fit);
    EXPECT_EQ(RunOn(runner, 0, 5000), 3);
    EXPECT_EQ(w.redraws, 3);
}

TEST_F(FitRunTest, MinusOneEightyBecomesMinus179Point9ThenARandomPhase) {
    Load(Synthetic(kThree, 1000, 3000, 10, 0));
    Defaults();
    SetPeak(1, 1500, 10, 15, -180);
    ComputeFitCurve(*fit);
    EXPECT_EQ(fit->peaks.PeakPhase[1], -179.9);
    double afterFirst = 0;
    w.onMessages = [&] {
        if (w.messages == 1) fit->StopFit = true;
    };
    FitRunner runner(*fit, 7);
    RunOn(runner, 0, 5000);
    afterFirst = fit->peaks.PeakPhase[1];
    EXPECT_GT(std::fabs(afterFirst + 179.9), 1.0);  // replaced by a random phase
    EXPECT_LT(std::fabs(runner.Vector()[4]), 100.0);
    // The same seed gives the same phase.
    Defaults();
    SetPeak(1, 1500, 10, 15, -180);
    w.messages = 0;
    FitRunner again(*fit, 7);
    RunOn(again, 0, 5000);
    EXPECT_EQ(fit->peaks.PeakPhase[1], afterFirst);
}

TEST_F(FitRunTest, NegativeAmplitudeOrWidthIsShownPositiveWithThePhaseTurned) {
    // One step on data that the start values describe exactly: the step changes nothing, so
    // the copy-back shows the start values normalised.
    w.onMessages = [&] { fit->StopFit = true; };
    FitRunner runner(*fit);
    struct Case {
        double a, w, phase, shownPhase;
    };
    for (const Case c : {Case{1, 15, 30, 30}, Case{1, -15, 30, -150}, Case{1, -15, -30, 150},
                         Case{1, -15, 0, 180}}) {
        Load(Synthetic(Peaks({{1500, c.a, c.w, T(c.phase)}}), 1400, 1600, 1, 0));
        Defaults();
        SetPeak(1, 1500, c.a, c.w, c.phase);
        RunOn(runner, 1399, 1601);
        EXPECT_NEAR(fit->peaks.PeakAmplitude[1], 1, 1e-9);
        EXPECT_NEAR(fit->peaks.PeakWidth[1], 15, 1e-9);
        EXPECT_NEAR(fit->peaks.PeakPhase[1], c.shownPhase, 1e-6) << c.phase;
    }
}

// A peak taken out by a negative amplitude, inside the range or beyond it, stays out: a run
// leaves it as it was, the model and chi-square do without it, and the file has no line of it.
TEST_F(FitRunTest, ARemovedPeakStaysRemovedThroughARun) {
    Load(Synthetic(kThree, 1000, 3000, 2, 0.05));
    Defaults();
    SetPeak(1, 1500, 10, 15, 30);
    SetPeak(2, 1800, -6, 20, 170);    // taken out, inside the range
    SetPeak(3, 5000, -8, 25, 179.5);  // taken out, beyond it; its phase near the guard's limit
    FitRunner runner(*fit);
    RunOn(runner, 1000, 3000);
    EXPECT_EQ(fit->peaks.PeakAmplitude[2], -6);
    EXPECT_EQ(fit->peaks.PeakPhase[2], 170);
    EXPECT_EQ(fit->peaks.PeakAmplitude[3], -8);
    EXPECT_EQ(fit->peaks.PeakPhase[3], 179.5);
    EXPECT_EQ(fit->peaks.PeakFrequency[3], 5000);
    EXPECT_EQ(runner.Vector()[6], -6);  // the solver's vector keeps them out too
    EXPECT_EQ(runner.Vector()[10], -8);
    EXPECT_FALSE(runner.IsFitted(2));
    const std::string par = FitParameterLines(fit->peaks);
    EXPECT_EQ(par.rfind("1. Peak:", 0), 0u);
    EXPECT_EQ(par.find("2. Peak"), std::string::npos);
    EXPECT_EQ(par.find("3. Peak"), std::string::npos);
}

// A peak that is no result after a run (beyond the range by more than its width, wider than
// the range, below the noise) is made inactive, and the run says so, a line each.
TEST_F(FitRunTest, WhatIsNoResultIsRemovedWithANote) {
    Load(Synthetic(kThree, 1000, 3000, 2, 0.05));
    Defaults();
    SetPeak(1, 1500, 10, 15, 30);
    SetPeak(2, 1800, 6, 20, -60);
    SetPeak(3, 2300, 8, 25, 120);
    SetPeak(4, 2700, 0.01, 15, 0);  // nothing there: it sinks into the noise or wanders off
    FitRunner runner(*fit);
    RunOn(runner, 1000, 3000);
    EXPECT_EQ(fit->peaks.PeakAmplitude[4], 0.0);
    EXPECT_NE(runner.Notes().find("Peak 4 "), std::string::npos) << runner.Notes();
    EXPECT_NE(runner.Notes().find(": removed.\n"), std::string::npos);
    for (int k = 1; k <= 3; ++k) EXPECT_GT(fit->peaks.PeakAmplitude[k], 0) << k;
    EXPECT_FALSE(runner.Report().peaks[4].valid);
    // The curve is the model of what is left.
    EXPECT_EQ(fit->data.FitCurve[100],
              ResonanceModel(PeakVector(fit->peaks), fit->data.FitFrequency[100]));
}

// Two overlapping peaks in phase: fitted to their amplitudes alone, a solution with three times
// the amplitudes, cancelling each other, fits as well, and the search names both peaks;
// fitted to amplitude and phase (complex data), the result is unique and as the data were made.
TEST_F(FitRunTest, TheSearchNamesWhatTheAmplitudesAloneLeaveOpen) {
    const Params truth = Peaks({{1500, 10, 20, T(0)}, {1525, 8, 20, T(0)}});
    std::mt19937 rng(5), phaseRng(6);
    std::normal_distribution<double> noise(0.0, 0.2), phaseNoise(0.0, 1.0);
    int n = 0;
    for (double x = 1400; x <= 1630; x += 1.0) {
        const Complex S = ModelSum(truth, x);
        ++n;
        fit->data.FitFrequency[n] = x;
        fit->data.FitAmplitude[n] = CAbs(S) + noise(rng);
        // A measured phase falls through a resonance: the conjugate of the model's.
        fit->data.FitPhase[n] =
            -std::atan2(S.Im, S.Re) * 180.0 / std::numbers::pi + phaseNoise(phaseRng);
    }
    fit->data.FitCount = n;
    fit->data.Phased = true;
    for (const bool phases : {false, true}) {
        Defaults();
        SetPeak(1, 1497, 9, 18, 10);
        SetPeak(2, 1528, 9, 18, 30);
        w.phases = phases;
        FitRunner runner(*fit);
        RunOn(runner, 1400, 1630);
        const FitReport& r = runner.Report();
        ASSERT_TRUE(r.valid) << phases;
        EXPECT_EQ(r.phases, phases);
        EXPECT_NEAR(fit->peaks.PeakFrequency[1], 1500, 1.0) << phases;
        EXPECT_NEAR(fit->peaks.PeakFrequency[2], 1525, 1.0) << phases;
        if (!phases) {
            EXPECT_TRUE(r.peaks[1].undetermined && r.peaks[2].undetermined) << runner.Notes();
            EXPECT_NE(runner.Notes().find("do not determine the amplitude and phase of peak 1, 2"),
                      std::string::npos)
                << runner.Notes();
            // The errors cover the other solution.
            for (int k = 1; k <= 2; ++k) {
                EXPECT_GT(std::fabs(r.peaks[k].otherAmplitude - fit->peaks.PeakAmplitude[k]), 5.0);
                EXPECT_GE(r.peaks[k].amplitude,
                          std::fabs(r.peaks[k].otherAmplitude - fit->peaks.PeakAmplitude[k]));
            }
            EXPECT_NE(FitReportLines(r, fit->peaks).find(",amplitude,no,Start Fit,\r\n"),
                      std::string::npos);
        } else {
            EXPECT_FALSE(r.peaks[1].undetermined);
            EXPECT_FALSE(r.peaks[2].undetermined);
            EXPECT_EQ(runner.Notes(), "");
            // Within three of their reported errors.
            EXPECT_NEAR(fit->peaks.PeakAmplitude[1], 10, 3 * r.peaks[1].amplitude);
            EXPECT_NEAR(fit->peaks.PeakAmplitude[2], 8, 3 * r.peaks[2].amplitude);
            EXPECT_NEAR(fit->peaks.PeakPhase[2] - fit->peaks.PeakPhase[1], 0,
                        3 * std::hypot(r.peaks[1].phase, r.peaks[2].phase));
            EXPECT_NE(FitReportLines(r, fit->peaks).find(",amplitude and phase,yes,Start Fit,"),
                      std::string::npos);
        }
    }
}

// A two-peak case started with a negative width: the table must keep describing the fitted
// curve.
TEST_F(FitRunTest, ANegativeWidthStillReproducesTheFittedCurve) {
    const Params two = Peaks({{1500, 10, 20, T(40)}, {1540, 7, 25, T(-70)}});
    Load(Synthetic(two, 1400, 1650, 1, 0.02));
    Defaults();
    SetPeak(1, 1500, 10, -20, 40);
    SetPeak(2, 1540, 7, 25, -70);
    FitRunner runner(*fit);
    // At every step, once copied back: the table's curve is the solver's own.
    double largest = 0;
    w.onRedraw = [&] {
        for (int i = 1; i <= fit->data.FitCount; ++i) {
            const double solver = ResonanceModel(runner.Vector(), fit->data.FitFrequency[i]);
            largest = std::max(largest, std::fabs(fit->data.FitCurve[i] - solver));
        }
    };
    RunOn(runner, 1400, 1650);
    EXPECT_GT(w.redraws, 0);
    EXPECT_GE(fit->peaks.PeakWidth[1], 0);
    EXPECT_LT(largest, 1e-9);
    // And the normalised table fits the data.
    EXPECT_LT(runner.ChiSquare(), 251 * 0.02 * 0.02 * 2);
}

// The fast pass against the reference.
class FastPass : public testing::TestWithParam<int> {};

TEST_P(FastPass, SameChiSquareCurvatureAndGradientAsTheReference) {
    const Params truth = Peaks({{1500, 10, 15, T(30)},
                                {1800, 6, 20, T(-60)},
                                {2300, 8, 25, T(120)},
                                {2600, 3, 40, T(10)},
                                {2700, 0, 10, 0},
                                {2800, -2, 10, 0}});
    const Data d = Synthetic(truth, 1000, 3000, 0.7, 0.1, 3);
    Params a = truth;
    a[1] += 3;
    a[6] *= 1.2;
    a[5 * 4 - 2] = 1e-7;  // an amplitude that a perturbation switches off
    const int free[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 14, 15, 16, 18, 19, 20, 24, 22, 23, 21};
    FitList lista{};
    const int mfit = GetParam();
    for (int j = 1; j <= mfit; ++j) lista[j] = free[j];
    Matrix alphaR{}, alphaF{};
    Params betaR{}, betaF{};
    double chiR = 0, chiF = 0;
    ChiSquareCurvature(d.Points(), a, lista, mfit, alphaR, betaR, chiR);
    FastChiSquareCurvature(d.Points(), a, lista, mfit, alphaF, betaF, chiF, 2);
    EXPECT_NEAR(chiF, chiR, 1e-9 * std::fabs(chiR));
    for (int j = 1; j <= mfit; ++j) {
        EXPECT_NEAR(betaF[j], betaR[j], 1e-9 * std::max(1.0, std::fabs(betaR[j]))) << j;
        for (int k = 1; k <= mfit; ++k) {
            EXPECT_NEAR(alphaF[j][k], alphaR[j][k], 1e-9 * std::max(1.0, std::fabs(alphaR[j][k])))
                << j << "," << k;
        }
    }
    // One thread and two give the same bits.
    Matrix alpha1{};
    Params beta1{};
    double chi1 = 0;
    FastChiSquareCurvature(d.Points(), a, lista, mfit, alpha1, beta1, chi1, 1);
    EXPECT_EQ(chi1, chiF);
    EXPECT_EQ(alpha1, alphaF);
    EXPECT_EQ(beta1, betaF);
}

INSTANTIATE_TEST_SUITE_P(FreeParameters, FastPass, testing::Values(0, 1, 4, 12, 18),
                         [](const auto& info) {
                             return test::CaseName(info.index, std::to_string(info.param));
                         });

TEST_F(FitRunTest, AWholeRunWithTheFastPassEndsAsWithTheReference) {
    const Data d = Synthetic(kThree, 1000, 3000, 2, 0.05);
    Params ends[2];
    for (int pass = 0; pass < 2; ++pass) {
        Load(d);
        Defaults();
        SetPeak(1, 1510, 12, 12, 50);
        SetPeak(2, 1790, 5, 24, -40);
        SetPeak(3, 2310, 9, 22, 100);
        FitRunner runner(*fit);
        runner.UseSolver({pass == 0 ? CurvaturePass::Reference : CurvaturePass::Fast, 2});
        RunOn(runner, 1000, 3000);
        ends[pass] = runner.Vector();
    }
    auto degrees = [](double t) { return std::atan(t) * 360.0 / std::numbers::pi; };
    for (int k = 1; k <= 3; ++k) {
        for (int q = 4 * k - 3; q < 4 * k; ++q) {
            EXPECT_NEAR(ends[1][q], ends[0][q], 1e-6 * std::fabs(ends[0][q])) << q;
        }
        // The common phase of all peaks is not determined by the modulus; the phases relative
        // to the first peak are.
        const double fast = degrees(ends[1][4 * k]) - degrees(ends[1][4]);
        const double reference = degrees(ends[0][4 * k]) - degrees(ends[0][4]);
        EXPECT_NEAR(fast, reference, 1e-6 * std::max(1.0, std::fabs(reference))) << k;
    }
}

// The standard errors: over 200 draws of Gaussian noise the fitted values scatter as much as
// the errors the runs report, within 20 %.
TEST_F(FitRunTest, ReportedErrorsAgreeWithTheScatterOverNoiseDraws) {
    const Peaks3 truth = kThreeTable;
    constexpr int kDraws = 200;
    // Peak, quantity: F, A, W, Q and the phase's difference to peak 1 (degrees).
    std::array<std::array<std::vector<double>, 5>, 4> fitted{};
    std::array<std::array<double, 5>, 4> reported{};
    for (int draw = 0; draw < kDraws; ++draw) {
        Load(Synthetic(kThree, 1300, 2500, 2, 0.2, 100 + static_cast<unsigned>(draw)));
        Defaults();
        for (int k = 1; k <= 3; ++k) {
            SetPeak(k, truth[k][0], truth[k][1], truth[k][2], truth[k][3]);
        }
        FitRunner r(*fit);
        RunOn(r, 1200, 2600);
        const FitReport& rep = r.Report();
        ASSERT_TRUE(rep.valid);
        EXPECT_EQ(rep.points, 601);
        EXPECT_EQ(rep.parameters, 12);
        for (int k = 1; k <= 3; ++k) {
            const PeakErrors& e = rep.peaks[static_cast<size_t>(k)];
            ASSERT_TRUE(e.valid);
            const double turn =
                std::remainder(fit->peaks.PeakPhase[k] - fit->peaks.PeakPhase[1], 360.0);
            const double values[] = {fit->peaks.PeakFrequency[k], fit->peaks.PeakAmplitude[k],
                                     fit->peaks.PeakWidth[k], e.q, turn};
            const double errors[] = {e.frequency, e.amplitude, e.width, e.qError,
                                     k == 1 ? 0.0 : e.phase};
            if (k == 1) {
                EXPECT_TRUE(std::isnan(e.phase));
            }
            for (int q = 0; q < 5; ++q) {
                fitted[k][q].push_back(values[q]);
                reported[k][q] += errors[q] / kDraws;
            }
        }
        EXPECT_FALSE(rep.peaks[4].valid);
    }
    const char* names[] = {"F", "A", "W", "Q", "phase - phase 1"};
    for (int k = 1; k <= 3; ++k) {
        for (int q = 0; q < (k == 1 ? 4 : 5); ++q) {
            const std::vector<double>& v = fitted[k][q];
            double mean = 0.0, var = 0.0;
            for (double x : v) mean += x / kDraws;
            for (double x : v) var += (x - mean) * (x - mean) / (kDraws - 1);
            const double scatter = std::sqrt(var);
            std::printf("peak %d %s: scatter %.5f, reported %.5f\n", k, names[q], scatter,
                        reported[k][q]);
            EXPECT_NEAR(reported[k][q] / scatter, 1.0, 0.2) << k << names[q];
        }
    }
}

TEST(FitReport, QualityFactorAndTooFewPoints) {
    EXPECT_DOUBLE_EQ(QualityFactor(1000.0, 10.0), 50.0);
    EXPECT_EQ(QualityFactor(1000.0, 0.0), 0.0);
    // Three points, four free parameters: no errors can be given.
    Data d = Synthetic(Peaks({{1000, 5, 10, 0}}), 990, 1010, 10, 0.0);
    FitList lista{};
    for (int j = 1; j <= 4; ++j) lista[j] = j;
    const FitReport r = ComputeFitReport(d.Points(), Peaks({{1000, 5, 10, 0}}), lista, 4, 3);
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.points, 3);
    EXPECT_EQ(r.parameters, 4);
}

TEST_F(FitRunTest, TheReportFileOpensInASpreadsheet) {
    Load(Synthetic(kThree, 1300, 2500, 2, 0.2));
    Defaults();
    for (int k = 1; k <= 3; ++k) {
        SetPeak(k, kThreeTable[k][0], kThreeTable[k][1], kThreeTable[k][2], kThreeTable[k][3]);
    }
    FitRunner r(*fit);
    const int steps = RunOn(r, 1200, 2600);
    std::string text;
    {
        test::LocaleScope german("de_DE.UTF-8");
        ASSERT_TRUE(german.Active());
        text = FitReportLines(r.Report(), fit->peaks);
    }
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("Peak,F [Hz],sigma F [Hz],", 0), 0u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 18) << lines[i];
        EXPECT_EQ(lines[i].find('\n'), std::string::npos);
    }
    // Peak 2: its own values, Q = F / 2W, and the run's figures at the end.
    // Then four fields of words: what was fitted, whether it was determined, which fit, and the
    // delay (none without phases).
    std::string numbers = lines[2];
    for (int i = 0; i < 4; ++i) numbers.resize(numbers.rfind(','));
    EXPECT_EQ(lines[2].substr(numbers.size()), ",amplitude,yes,Start Fit,");
    std::vector<double> f;
    std::string field;
    for (char c : numbers + ",") {
        if (c != ',') {
            field += c;
            continue;
        }
        char* end = nullptr;
        f.push_back(std::strtod(field.c_str(), &end));  // "C" numbers: the point
        EXPECT_EQ(*end, '\0') << field;
        field.clear();
    }
    ASSERT_EQ(f.size(), 15u);
    EXPECT_EQ(f[0], 2.0);
    EXPECT_DOUBLE_EQ(f[1], fit->peaks.PeakFrequency[2]);
    EXPECT_DOUBLE_EQ(f[9], fit->peaks.PeakFrequency[2] / (2.0 * fit->peaks.PeakWidth[2]));
    EXPECT_GT(f[2], 0.0);
    EXPECT_EQ(f[12], 601.0);
    EXPECT_EQ(f[13], 12.0);
    EXPECT_EQ(f[14], static_cast<double>(steps));
}

}  // namespace
}  // namespace sonarix
