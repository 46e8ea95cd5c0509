// The Levenberg-Marquardt iteration that both fits run (the peak fit's MarquardtStep and the
// whole-spectrum fit), and its linear solver: Gauss-Jordan elimination with full pivoting.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace sonarix {

// Gauss-Jordan elimination with full pivoting (Numerical Recipes' gaussj) on rows indexed
// 1 ... n (a[i][j]): a (n x n) becomes its inverse, b (n x m) the solutions. Ties in the pivot
// search go to the last candidate in row-by-row order. Returns false when it stopped at a
// singular matrix (a and b then hold what they had at that moment).
template <class Rows>
bool GaussJordan(Rows& a, int n, Rows& b, int m) {
    // Up to 32 unknowns (the peak fit's parameters) without allocating.
    constexpr int kFixed = 33;
    std::array<int, 3 * kFixed> fixed{};
    std::vector<int> more;
    int* indices = fixed.data();
    if (n >= kFixed) {
        more.assign(3 * static_cast<size_t>(n + 1), 0);
        indices = more.data();
    }
    int* indxc = indices;
    int* indxr = indices + (n + 1);
    int* ipiv = indices + 2 * (n + 1);
    int irow = 0, icol = 0;
    for (int j = 1; j <= n; ++j) ipiv[j] = 0;
    for (int i = 1; i <= n; ++i) {
        double big = 0.0;
        for (int j = 1; j <= n; ++j) {
            if (ipiv[j] == 1) continue;
            for (int k = 1; k <= n; ++k) {
                if (ipiv[k] == 0) {
                    if (std::abs(a[j][k]) >= big) {
                        big = std::abs(a[j][k]);
                        irow = j;
                        icol = k;
                    }
                } else if (ipiv[k] > 1) {
                    return false;
                }
            }
        }
        ++ipiv[icol];
        if (irow != icol) {
            for (int l = 1; l <= n; ++l) std::swap(a[irow][l], a[icol][l]);
            for (int l = 1; l <= m; ++l) std::swap(b[irow][l], b[icol][l]);
        }
        indxr[i] = irow;
        indxc[i] = icol;
        if (a[icol][icol] == 0.0) return false;
        const double pivinv = 1.0 / a[icol][icol];
        a[icol][icol] = 1.0;
        for (int l = 1; l <= n; ++l) a[icol][l] *= pivinv;
        for (int l = 1; l <= m; ++l) b[icol][l] *= pivinv;
        for (int ll = 1; ll <= n; ++ll) {
            if (ll == icol) continue;
            const double dum = a[ll][icol];
            a[ll][icol] = 0.0;
            for (int l = 1; l <= n; ++l) a[ll][l] -= a[icol][l] * dum;
            for (int l = 1; l <= m; ++l) b[ll][l] -= b[icol][l] * dum;
        }
    }
    for (int l = n; l >= 1; --l) {
        if (indxr[l] == indxc[l]) continue;
        for (int k = 1; k <= n; ++k) std::swap(a[k][indxr[l]], a[k][indxc[l]]);
    }
    return true;
}

// A matrix of any size with rows and columns counted from 1, as GaussJordan takes it.
class OneBasedMatrix {
public:
    OneBasedMatrix(int rows, int columns)
        : m_stride(columns + 1), m_values(static_cast<size_t>((rows + 1) * (columns + 1))) {}
    double* operator[](int row) { return &m_values[static_cast<size_t>(row * m_stride)]; }
    const double* operator[](int row) const {
        return &m_values[static_cast<size_t>(row * m_stride)];
    }

private:
    int m_stride;
    std::vector<double> m_values;
};

// How an iteration moves the damping lambda: down tenfold after a step that lowered
// chi-square (not below `least`), up tenfold after one that did not. With `most` = 0 an
// iteration is one trial (the peak fit's); otherwise it tries again with the larger lambda
// until a step goes down or lambda passes `most`.
struct MarquardtSchedule {
    double least = 0.0;
    double most = 0.0;
};

enum class MarquardtResult {
    Lower,     // the step lowered chi-square and was taken
    NotLower,  // one trial that did not (lambda went up)
    Stuck,     // no step goes down any more: the minimum within the steps' resolution
};

// One iteration over a problem that holds its normal equations at the current parameters:
//   bool Solve(double lambda): the step of the system damped by lambda (false: singular);
//   bool Lower(): chi-square at the parameters moved by that step; when lower, the problem
//                 takes them (and their normal equations) and says true.
template <class Problem>
MarquardtResult MarquardtIteration(Problem& problem, double& lambda,
                                   const MarquardtSchedule& schedule) {
    for (;;) {
        if (problem.Solve(lambda) && problem.Lower()) {
            lambda = std::max(lambda * 0.1, schedule.least);
            return MarquardtResult::Lower;
        }
        lambda *= 10.0;
        if (schedule.most <= 0.0) return MarquardtResult::NotLower;
        if (lambda > schedule.most) return MarquardtResult::Stuck;
    }
}

}  // namespace sonarix
