// Forward-mode dual numbers with a gradient of K components: v + sum_k d[k] eps_k.
// ln gamma is the gradient of n G^ex/RT; evaluating G^ex once in these numbers gives every
// partial derivative exactly (no step size, no cancellation).
#pragma once

#include <cmath>

namespace enrtl {

template <int K>
struct Dual {
    double v = 0.0;
    double d[K] = {};

    Dual() = default;
    Dual(double c) : v(c) {}  // a constant

    static Dual seed(double value, int i, double slope = 1.0) {
        Dual r(value);
        r.d[i] = slope;
        return r;
    }

    Dual& operator+=(const Dual& b) {
        v += b.v;
        for (int k = 0; k < K; ++k) d[k] += b.d[k];
        return *this;
    }
    Dual& operator-=(const Dual& b) {
        v -= b.v;
        for (int k = 0; k < K; ++k) d[k] -= b.d[k];
        return *this;
    }
    Dual& operator*=(double s) {
        v *= s;
        for (int k = 0; k < K; ++k) d[k] *= s;
        return *this;
    }
};

template <int K> inline Dual<K> operator+(Dual<K> a, const Dual<K>& b) { return a += b; }
template <int K> inline Dual<K> operator-(Dual<K> a, const Dual<K>& b) { return a -= b; }
template <int K> inline Dual<K> operator-(Dual<K> a) { a *= -1.0; return a; }
template <int K> inline Dual<K> operator*(Dual<K> a, double s) { return a *= s; }
template <int K> inline Dual<K> operator*(double s, Dual<K> a) { return a *= s; }
template <int K> inline Dual<K> operator+(Dual<K> a, double s) { a.v += s; return a; }
template <int K> inline Dual<K> operator+(double s, Dual<K> a) { a.v += s; return a; }
template <int K> inline Dual<K> operator-(Dual<K> a, double s) { a.v -= s; return a; }
template <int K> inline Dual<K> operator-(double s, const Dual<K>& a) { return -a + s; }

template <int K>
inline Dual<K> operator*(const Dual<K>& a, const Dual<K>& b) {
    Dual<K> r;
    r.v = a.v * b.v;
    for (int k = 0; k < K; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
    return r;
}

template <int K>
inline Dual<K> operator/(const Dual<K>& a, const Dual<K>& b) {
    Dual<K> r;
    const double ib = 1.0 / b.v;
    r.v = a.v * ib;
    for (int k = 0; k < K; ++k) r.d[k] = (a.d[k] - r.v * b.d[k]) * ib;
    return r;
}

template <int K> inline Dual<K> operator/(const Dual<K>& a, double s) { return a * (1.0 / s); }

template <int K>
inline Dual<K> operator/(double s, const Dual<K>& b) {
    Dual<K> r;
    r.v = s / b.v;
    const double f = -r.v / b.v;
    for (int k = 0; k < K; ++k) r.d[k] = f * b.d[k];
    return r;
}

// r = f(a) with derivative f'(a).
template <int K>
inline Dual<K> chain(const Dual<K>& a, double f, double df) {
    Dual<K> r;
    r.v = f;
    for (int k = 0; k < K; ++k) r.d[k] = df * a.d[k];
    return r;
}

template <int K> inline Dual<K> exp(const Dual<K>& a) { double e = std::exp(a.v); return chain(a, e, e); }
template <int K> inline Dual<K> log(const Dual<K>& a) { return chain(a, std::log(a.v), 1.0 / a.v); }
template <int K> inline Dual<K> sqrt(const Dual<K>& a) { double s = std::sqrt(a.v); return chain(a, s, 0.5 / s); }
template <int K> inline Dual<K> pow(const Dual<K>& a, double p) {
    double f = std::pow(a.v, p);
    return chain(a, f, p * f / a.v);
}

}  // namespace enrtl
