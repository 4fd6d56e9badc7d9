// Temperature functions of the model: solvent densities and permittivities, tau = A + B/T +
// F ln T + G T, the Bjerrum length. Templates over the number type: double for the model's own
// evaluation, Tan<L> where derivatives in T are carried (derivatives.cpp); the same arithmetic.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "dual.hpp"

namespace enrtl {

struct Correlation;

namespace phys {
constexpr double kPi = 3.14159265358979323846;
constexpr double kE = 1.602176634e-19;      // C
constexpr double kEps0 = 8.8541878128e-12;  // F/m
constexpr double kBoltz = 1.380649e-23;     // J/K
constexpr double kNA = 6.02214076e23;       // 1/mol
constexpr double kPbar = 1.01325;           // bar, pressure of the permittivity correlation
}  // namespace phys

template <class S>
S poly(const std::vector<double>& c, const S& T) {
    S r(0.0);
    for (auto it = c.rbegin(); it != c.rend(); ++it) r = r * T + *it;
    return r;
}

// tau = A + B/T + F ln T + G T
template <class S>
S tdep(double A, double B, double F, double G, const S& T, const S& lnT) {
    return A + B / T + F * lnT + G * T;
}

// Bjerrum length at relative permittivity 1, m
template <class S>
S bjerrum(const S& T) {
    using namespace phys;
    return kE * kE / (4.0 * kPi * kEps0 * kBoltz * T);
}

// Density [kg/m3] of a solvent of molar mass mw [kg/kmol]: form 0 Kell (1975, t in deg C),
// 1 DIPPR 105 (kmol/m3), 2 polynomial in T.
template <class S>
S density_of(int form, const std::vector<double>& c, double mw, const S& T) {
    using std::pow;
    switch (form) {
        case 0: {
            const S t = T - 273.15;
            return (999.83952 +
                    t * (16.945176 +
                         t * (-7.9870401e-3 +
                              t * (-46.170461e-6 + t * (105.56302e-9 + t * (-280.54253e-12)))))) /
                   (1.0 + 16.879850e-3 * t);
        }
        case 1: {
            S tr = 1.0 - T / c[2];
            if (!(value(tr) > 0.0)) tr = S(0.0);
            return c[0] / pow(c[1], 1.0 + pow(tr, c[3])) * mw;
        }
        default:
            return poly(c, T);
    }
}

// Relative permittivity: form 0 Bradley-Pitzer (at kPbar), 1 polynomial, 2 A + B (1/T - 1/C).
template <class S>
S dielectric_of(int form, const std::vector<double>& U, const S& T) {
    using std::exp;
    using std::log;
    switch (form) {
        case 0: {
            const S D1000 = U[0] * exp(U[1] * T + U[2] * T * T);
            const S C = U[3] + U[4] / (U[5] + T);
            const S B = U[6] + U[7] / T + U[8] * T;
            return D1000 + C * log((B + phys::kPbar) / (B + 1000.0));
        }
        case 2:
            return U[0] + U[1] * (1.0 / T - 1.0 / U[2]);
        default:
            return poly(U, T);
    }
}

}  // namespace enrtl
