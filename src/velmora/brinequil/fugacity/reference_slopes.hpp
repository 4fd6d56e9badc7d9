// Temperature derivatives of the liquid references' ln f0, one arithmetic for the reference
// enthalpies, their gradient and a liquid's derivatives: a Henry pair's ln H = p0 + p1/T +
// p2 ln T + p3 T (+ p4/T^2 where a fifth coefficient is given) and Antoine's ln Psat = C1 +
// C2/(T + C3) + C4 T + C5 ln T + C6 T^C7. P, C: indexable, with size().
#pragma once
#include <cmath>

namespace brinequil::core {

template <class P>
double dln_henry(const P& p, double T) {
    const double d = -p[1] / (T * T) + p[2] / T + p[3];
    return p.size() > 4 ? d - 2.0 * p[4] / (T * T * T) : d;
}

template <class P>
double d2ln_henry(const P& p, double T) {
    const double T2 = T * T;
    const double d = 2.0 * p[1] / (T2 * T) - p[2] / T2;
    return p.size() > 4 ? d + 6.0 * p[4] / (T2 * T2) : d;
}

template <class C>
double dln_antoine(const C& c, double T) {
    return -c[1] / std::pow(T + c[2], 2.0) + c[3] + c[4] / T +
           c[5] * c[6] * std::pow(T, c[6] - 1.0);
}

template <class C>
double d2ln_antoine(const C& c, double T) {
    return 2.0 * c[1] / std::pow(T + c[2], 3.0) - c[4] / (T * T) +
           c[5] * c[6] * (c[6] - 1.0) * std::pow(T, c[6] - 2.0);
}

}  // namespace brinequil::core
