// The front door's bubble temperature search (velmora.flashes._bubble_T) in one call: g(T) =
// ln max(sum_k f_k / (phi_k P), 1e-300) over the components, bracketed from T0 by steps of 10 K
// growing by 1.6 and clamped at [T_min, T_max], then Brent's method (xtol 1e-10, rtol 4 eps).
// The same steps and the same arithmetic as the Python loop, so that T has its digits.
#pragma once
#include <functional>

#include <Eigen/Dense>

namespace brinequil::core {

// Thrown by g where its evaluation is not the usual one (a speciation that did not settle or
// raised, a value that is not a number): the search stops and leaves T to the caller's own loop.
struct BubbleStepAside {};

struct BubbleSearch {
    enum Outcome : int {
        kFound = 0,      // T is the bubble temperature
        kBound = 1,      // no sign change up to T_min (g > 0) or T_max (g < 0): g is that side's
        kStepAside = 2,  // an evaluation was not the usual one (BubbleStepAside)
    };
    Outcome outcome = kStepAside;
    double T = 0.0;
    double g = 0.0;  // kBound: g at the last T before the bound (its sign names the side)
    int evaluations = 0;
};

// The search from T0 (already within [T_min, T_max]).
BubbleSearch bubble_search(const std::function<double(double)>& g, double T0, double T_min,
                           double T_max);

// numpy's sum of n contiguous doubles (0.0 + its pairwise sum: 8 accumulators in blocks of at
// most 128, halves above), the same digits as float(np.asarray(a).sum()).
double numpy_sum(const double* a, Eigen::Index n);

}  // namespace brinequil::core
