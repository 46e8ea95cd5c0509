// The resonance model and the Levenberg-Marquardt solver.
#include "fitting/Marquardt.h"

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "fitting/ComplexArithmetic.h"
#include "fitting/LevenbergMarquardt.h"

namespace sonarix {
namespace {

// One peak's term in the written order of evaluation, in three parts so that the fast pass
// can reuse what a perturbation leaves alone; both passes use them, so they give the same
// values to the last bit.
inline double Detuning(double F, double x) { return F * F - x * x; }
inline double Denominator(double D, double W, double x) {
    const double wx = 2 * W * x;
    return D * D + wx * wx;
}
inline Complex Quotient(double F, double A, double W, double D, double M, double x) {
    const Complex N{D * (2 * W * F * A), 2 * W * F * A * 2 * W * x};
    return CDiv(N, Complex{M, 0.0});
}
inline Complex Term(double F, double A, double W, Complex E, double x) {
    const double D = Detuning(F, x);
    return CMul(Quotient(F, A, W, D, Denominator(D, W, x), x), E);
}

inline Complex Phase(double t) { return CExp(Complex{0.0, 2 * std::atan(t)}); }

constexpr double kTwoPi = 6.283185307179586476925286766559;

// The turn of the delay at x (in the model's sign of time, a later arrival turns forward).
inline Complex Turn(double x, double delay) {
    return Complex{std::cos(kTwoPi * x * delay), std::sin(kTwoPi * x * delay)};
}

// What a point of `part` sees of the sum S, with the delay's turn at its x.
inline double Seen(Complex S, ModelPart part, Complex turn) {
    if (part == kModulus) return CAbs(S);
    const Complex t = CMul(S, turn);
    return part == kRealPart ? t.Re : t.Im;
}

// --- The fast pass -------------------------------------------------------------------------

// One peak as the model sees it: its parameters, phase factor and whether it takes part.
struct PeakTerm {
    double F = 0.0, A = 0.0, W = 0.0;
    Complex E{};
    bool active = false;
};

// What one call needs, prepared once: the peaks at a, and for every free parameter its peak
// with that parameter moved by +h and -h.
struct FastSetup {
    std::array<PeakTerm, kPeaks + 1> peak{};
    std::array<int, kParams + 1> peakOf{};  // per free parameter j: its peak
    std::array<int, kParams + 1> roleOf{};  // 0 frequency, 1 amplitude, 2 width, 3 phase
    std::array<PeakTerm, kParams + 1> plus{}, minus{};
    int mfit = 0;
};

PeakTerm MakePeak(const Params& p, int k) {
    PeakTerm t;
    t.F = p[4 * k - 3];
    t.A = p[4 * k - 2];
    t.W = p[4 * k - 1];
    t.active = t.A > 0;
    if (t.active) t.E = Phase(p[4 * k]);
    return t;
}

// Partial sums over one half of the points.
struct Partial {
    Matrix alpha{};
    Params beta{};
    double chisq = 0.0;
};

void SumHalf(const FitPoints& d, const FastSetup& s, int first, int last, Partial& out) {
    const int mfit = s.mfit;
    for (int j = 1; j <= mfit; ++j) {
        for (int k = 1; k <= j; ++k) out.alpha[j][k] = 0.0;
        out.beta[j] = 0.0;
    }
    out.chisq = 0.0;
    std::array<Complex, kPeaks + 1> term{}, quotient{};
    std::array<Complex, kPeaks + 2> before{};  // the running sum over the peaks ahead of k
    std::array<double, kPeaks + 1> detuning{}, denominator{};
    Params g{};
    for (int i = first; i <= last; ++i) {
        const double x = d.x[i];
        const ModelPart part = d.part != nullptr ? d.part[i] : kModulus;
        const Complex turn = part == kModulus ? Complex{1.0, 0.0} : Turn(x - d.centre, d.delay);
        Complex S{0.0, 0.0};
        for (int k = 1; k <= kPeaks; ++k) {
            const PeakTerm& pk = s.peak[k];
            before[k] = S;
            if (!pk.active) continue;
            detuning[k] = Detuning(pk.F, x);
            denominator[k] = Denominator(detuning[k], pk.W, x);
            quotient[k] = Quotient(pk.F, pk.A, pk.W, detuning[k], denominator[k], x);
            term[k] = CMul(quotient[k], pk.E);
            S = CAdd(S, term[k]);
        }
        const double ymod = Seen(S, part, turn);
        for (int j = 1; j <= mfit; ++j) {
            const int own = s.peakOf[j];
            const bool reuse = s.peak[own].active;  // its detuning and quotient are at hand
            double side[2];
            for (int sgn = 0; sgn < 2; ++sgn) {
                const PeakTerm& m = sgn == 0 ? s.plus[j] : s.minus[j];
                Complex mine{};
                if (m.active) {
                    if (reuse && s.roleOf[j] == 3) {
                        mine = CMul(quotient[own], m.E);  // only the phase factor moved
                    } else if (reuse && s.roleOf[j] == 1) {
                        mine =
                            CMul(Quotient(m.F, m.A, m.W, detuning[own], denominator[own], x), m.E);
                    } else {
                        mine = Term(m.F, m.A, m.W, m.E, x);
                    }
                }
                // The same additions in the same order as the whole sum: the running sum of
                // the peaks ahead is the one already formed.
                Complex Sm = before[own];
                if (m.active) Sm = CAdd(Sm, mine);
                for (int k = own + 1; k <= kPeaks; ++k) {
                    if (s.peak[k].active) Sm = CAdd(Sm, term[k]);
                }
                side[sgn] = Seen(Sm, part, turn);
            }
            g[j] = (side[0] - side[1]) / (2 * kGradientStep);
        }
        const double w = 1 / (d.sigma[i] * d.sigma[i]);
        const double dy = d.y[i] - ymod;
        for (int j = 1; j <= mfit; ++j) {
            const double wt = g[j] * w;
            for (int k = 1; k <= j; ++k) out.alpha[j][k] += wt * g[k];
            out.beta[j] += dy * wt;
        }
        out.chisq += dy * dy * w;
    }
}

// The second core: one thread kept for the whole program, handed one half at a time.
class HalfWorker {
public:
    HalfWorker() : m_thread([this] { Loop(); }) {}
    ~HalfWorker() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    void Start(const FitPoints& d, const FastSetup& setup, int first, int last, Partial& out) {
        {
            std::lock_guard lock(m_mutex);
            m_job = Job{&d, &setup, first, last, &out};
            m_pending = true;
        }
        m_wake.notify_all();
    }
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [this] { return !m_pending; });
    }

private:
    struct Job {
        const FitPoints* d = nullptr;
        const FastSetup* setup = nullptr;
        int first = 0, last = 0;
        Partial* out = nullptr;
    };
    void Loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_pending || m_quit; });
            if (m_quit) return;
            const Job job = m_job;
            lock.unlock();
            SumHalf(*job.d, *job.setup, job.first, job.last, *job.out);
            lock.lock();
            m_pending = false;
            m_done.notify_all();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_wake, m_done;
    Job m_job;
    bool m_pending = false;
    bool m_quit = false;
    std::thread m_thread;
};

HalfWorker& Worker() {
    static HalfWorker worker;
    return worker;
}
// One fit at a time has the worker; a second one at the same moment sums both halves itself.
std::mutex& WorkerUse() {
    static std::mutex use;
    return use;
}

}  // namespace

Complex ModelSum(const Params& p, double x) {
    Complex S{0.0, 0.0};
    for (int k = 1; k <= kPeaks; ++k) {
        const double F = p[4 * k - 3], A = p[4 * k - 2], W = p[4 * k - 1], t = p[4 * k];
        if (!(A > 0)) continue;
        S = CAdd(S, Term(F, A, W, Phase(t), x));
    }
    return S;
}

double ResonanceModel(Params p, double x) { return CAbs(ModelSum(p, x)); }

double ModelValue(const Params& p, double x, ModelPart part, double delay, double centre) {
    return Seen(ModelSum(p, x), part,
                part == kModulus ? Complex{1.0, 0.0} : Turn(x - centre, delay));
}

void ModelCurve(const Params& p, const double* x, double* out, int n) {
    std::array<PeakTerm, kPeaks + 1> peak{};
    for (int k = 1; k <= kPeaks; ++k) peak[k] = MakePeak(p, k);
    for (int i = 0; i < n; ++i) {
        Complex S{0.0, 0.0};
        for (int k = 1; k <= kPeaks; ++k) {
            if (peak[k].active) S = CAdd(S, Term(peak[k].F, peak[k].A, peak[k].W, peak[k].E, x[i]));
        }
        out[i] = CAbs(S);
    }
}

void ModelWithGradient(const Params& p, double x, int n, double& y, Params& g, ModelPart part,
                       double delay, double centre) {
    y = ModelValue(p, x, part, delay, centre);
    for (int j = 1; j <= n; ++j) {
        Params plus = p, minus = p;
        plus[j] = p[j] + kGradientStep;
        minus[j] = p[j] - kGradientStep;
        g[j] =
            (ModelValue(plus, x, part, delay, centre) - ModelValue(minus, x, part, delay, centre)) /
            (2 * kGradientStep);
    }
}

void ChiSquareCurvature(const FitPoints& d, const Params& a, const FitList& lista, int mfit,
                        Matrix& alpha, Params& beta, double& chisq) {
    for (int j = 1; j <= mfit; ++j) {
        for (int k = 1; k <= j; ++k) alpha[j][k] = 0.0;
        beta[j] = 0.0;
    }
    chisq = 0.0;
    Params g{};
    for (int i = 1; i <= d.ndata; ++i) {
        double ymod = 0.0;
        ModelWithGradient(a, d.x[i], kParams, ymod, g, d.part != nullptr ? d.part[i] : kModulus,
                          d.delay, d.centre);
        const double w = 1 / (d.sigma[i] * d.sigma[i]);
        const double dy = d.y[i] - ymod;
        for (int j = 1; j <= mfit; ++j) {
            const double wt = g[lista[j]] * w;
            for (int k = 1; k <= j; ++k) alpha[j][k] += wt * g[lista[k]];
            beta[j] += dy * wt;
        }
        chisq += dy * dy * w;
    }
    for (int j = 2; j <= mfit; ++j) {
        for (int k = 1; k < j; ++k) alpha[k][j] = alpha[j][k];
    }
}

void FastChiSquareCurvature(const FitPoints& d, const Params& a, const FitList& lista, int mfit,
                            Matrix& alpha, Params& beta, double& chisq, int threads) {
    FastSetup s;
    std::array<Partial, 2> partial;
    s.mfit = mfit;
    for (int k = 1; k <= kPeaks; ++k) s.peak[k] = MakePeak(a, k);
    for (int j = 1; j <= mfit; ++j) {
        const int q = lista[j];
        const int k = (q - 1) / 4 + 1;
        s.peakOf[j] = k;
        s.roleOf[j] = (q - 1) % 4;
        Params p = a;
        p[q] = a[q] + kGradientStep;
        s.plus[j] = MakePeak(p, k);
        p[q] = a[q] - kGradientStep;
        s.minus[j] = MakePeak(p, k);
    }
    // Two fixed halves, whatever the number of threads.
    const int mid = d.ndata / 2;
    std::unique_lock worker(WorkerUse(), std::defer_lock);
    if (threads > 1 && d.ndata >= 64 && worker.try_lock()) {
        Worker().Start(d, s, mid + 1, d.ndata, partial[1]);
        SumHalf(d, s, 1, mid, partial[0]);
        Worker().Wait();
    } else {
        SumHalf(d, s, 1, mid, partial[0]);
        SumHalf(d, s, mid + 1, d.ndata, partial[1]);
    }
    for (int j = 1; j <= mfit; ++j) {
        for (int k = 1; k <= j; ++k) {
            alpha[j][k] = partial[0].alpha[j][k] + partial[1].alpha[j][k];
        }
        beta[j] = partial[0].beta[j] + partial[1].beta[j];
    }
    chisq = partial[0].chisq + partial[1].chisq;
    for (int j = 2; j <= mfit; ++j) {
        for (int k = 1; k < j; ++k) alpha[k][j] = alpha[j][k];
    }
}

bool GaussJordan(Matrix& a, int n, Matrix& b, int m) { return GaussJordan<Matrix>(a, n, b, m); }

bool MarquardtStep(const FitPoints& d, Params& a, FitList& lista, int mfit, SolverState& s) {
    auto curvature = [&](const Params& at, Matrix& alpha, Params& beta, double& chisq) {
        if (s.options.pass == CurvaturePass::Fast) {
            FastChiSquareCurvature(d, at, lista, mfit, alpha, beta, chisq, s.options.threads);
        } else {
            ChiSquareCurvature(d, at, lista, mfit, alpha, beta, chisq);
        }
    };
    if (s.lambda < 0) {
        if (mfit < 0 || mfit > kParams) {
            return false;
        }
        int kk = mfit + 1;
        for (int j = 1; j <= kParams; ++j) {
            int ihit = 0;
            for (int k = 1; k <= mfit; ++k) ihit += lista[k] == j ? 1 : 0;
            if (ihit == 0) {
                if (kk > kParams) {  // entries outside 1 ... 32 leave no room to complete it
                    return false;
                }
                lista[kk++] = j;
            } else if (ihit > 1) {
                return false;
            }
        }
        if (kk != kParams + 1) {
            return false;
        }
        s.lambda = 0.001;
        curvature(a, s.alpha, s.beta, s.chisq);
        s.chisqPrev = s.chisq;
        s.aTry = a;
    }
    // The system damped by multiplying its diagonal by 1 + lambda; a singular one still gives
    // the step the elimination reached, which is then tried like any other.
    struct Problem {
        const FitPoints& d;
        Params& a;
        const FitList& lista;
        int mfit;
        SolverState& s;
        const decltype(curvature)& sums;

        bool Solve(double lambda) {
            for (int j = 1; j <= mfit; ++j) {
                for (int k = 1; k <= mfit; ++k) s.H[j][k] = s.alpha[j][k];
                s.H[j][j] = s.alpha[j][j] * (1.0 + lambda);
                s.deltaColumn[j][1] = s.beta[j];
            }
            GaussJordan(s.H, mfit, s.deltaColumn, 1);
            return true;
        }
        bool Lower() {
            for (int j = 1; j <= mfit; ++j) s.aTry[lista[j]] = a[lista[j]] + s.deltaColumn[j][1];
            sums(s.aTry, s.H, s.delta, s.chisq);
            for (int j = 1; j <= mfit; ++j) s.deltaColumn[j][1] = s.delta[j];
            if (!(s.chisq < s.chisqPrev)) {
                s.chisq = s.chisqPrev;
                return false;
            }
            s.chisqPrev = s.chisq;
            for (int j = 1; j <= mfit; ++j) {
                for (int k = 1; k <= mfit; ++k) s.alpha[j][k] = s.H[j][k];
                s.beta[j] = s.delta[j];
                a[lista[j]] = s.aTry[lista[j]];
            }
            return true;
        }
    } problem{d, a, lista, mfit, s, curvature};
    MarquardtIteration(problem, s.lambda, MarquardtSchedule{});
    return true;
}

}  // namespace sonarix
