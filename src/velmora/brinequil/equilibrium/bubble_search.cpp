#include "equilibrium/bubble_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "equilibrium/solvers.hpp"
#include "model/errors.hpp"

namespace brinequil::core {

namespace {

constexpr double kFirstStep = 10.0;  // K
constexpr double kGrowth = 1.6;
constexpr double kXtol = 1e-10;  // K
constexpr int kMaxiter = 100;    // velmora.brinequil._brentq's default

double pairwise(const double* a, Eigen::Index n) {
    if (n < 8) {
        double res = 0.0;
        for (Eigen::Index i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        Eigen::Index i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    Eigen::Index n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, n2) + pairwise(a + n2, n - n2);
}

}  // namespace

double numpy_sum(const double* a, Eigen::Index n) { return 0.0 + pairwise(a, n); }

BubbleSearch bubble_search(const std::function<double(double)>& g, double T0, double T_min,
                           double T_max) {
    BubbleSearch out;
    // a NaN would take the Python loop's comparisons elsewhere: that loop runs instead
    auto value = [&](double T) {
        ++out.evaluations;
        const double v = g(T);
        if (std::isnan(v)) throw BubbleStepAside{};
        return v;
    };
    try {
        double a = T0;
        double fa = value(a);
        double step = kFirstStep;
        while (fa != 0.0) {
            const double b = fa < 0.0 ? std::min(a + step, T_max) : std::max(a - step, T_min);
            const double fb = value(b);
            if ((fb > 0.0) != (fa > 0.0) || fb == 0.0) {
                try {
                    a = brentq(value, std::min(a, b), std::max(a, b), kXtol,
                               4.0 * std::numeric_limits<double>::epsilon(), kMaxiter);
                } catch (const ValueError& e) {
                    if (std::strstr(e.what(), "different signs") == nullptr) throw;
                    // an end within the speciation's noise of the root reads with the other
                    // sign the second time (warm starts): that end is the root, checked by the
                    // caller like any other
                    a = std::fabs(fa) <= std::fabs(fb) ? a : b;
                }
                break;
            }
            if (b == T_min || b == T_max) {
                out.outcome = BubbleSearch::kBound;
                out.T = b;
                out.g = fa;
                return out;
            }
            a = b;
            fa = fb;
            step *= kGrowth;
        }
        out.outcome = BubbleSearch::kFound;
        out.T = a;
    } catch (const BubbleStepAside&) {
        out.outcome = BubbleSearch::kStepAside;
    }
    return out;
}

}  // namespace brinequil::core
