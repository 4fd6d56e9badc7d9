// Forward-mode dual numbers with a gradient of K components: v + sum_k d[k] eps_k.
// ln gamma is the gradient of n G^ex/RT; evaluating G^ex once in these numbers gives every
// partial derivative exactly (no step size, no cancellation). The value type S is double, or
// Tan<L> (a value with L tangents) where the derivatives of ln gamma themselves are wanted: the
// gradient then carries its own directional derivatives (second derivatives of G^ex, exact).
#pragma once

#include <cmath>
#include <type_traits>

namespace enrtl {

// A number with L tangents: v + sum_l t[l] e_l (forward mode, first order).
template <int L>
struct Tan {
    double v = 0.0;
    double t[L] = {};

    Tan() = default;
    Tan(double c) : v(c) {}  // a constant

    Tan& operator+=(const Tan& b) {
        v += b.v;
        for (int l = 0; l < L; ++l) t[l] += b.t[l];
        return *this;
    }
    Tan& operator-=(const Tan& b) {
        v -= b.v;
        for (int l = 0; l < L; ++l) t[l] -= b.t[l];
        return *this;
    }
    Tan& operator*=(double s) {
        v *= s;
        for (int l = 0; l < L; ++l) t[l] *= s;
        return *this;
    }
    Tan& operator*=(const Tan& b) {
        for (int l = 0; l < L; ++l) t[l] = t[l] * b.v + v * b.t[l];
        v *= b.v;
        return *this;
    }
};

template <int L>
inline Tan<L> operator+(Tan<L> a, const Tan<L>& b) {
    return a += b;
}
template <int L>
inline Tan<L> operator-(Tan<L> a, const Tan<L>& b) {
    return a -= b;
}
template <int L>
inline Tan<L> operator-(Tan<L> a) {
    a *= -1.0;
    return a;
}
template <int L>
inline Tan<L> operator*(Tan<L> a, const Tan<L>& b) {
    return a *= b;
}
template <int L>
inline Tan<L> operator*(Tan<L> a, double s) {
    return a *= s;
}
template <int L>
inline Tan<L> operator*(double s, Tan<L> a) {
    return a *= s;
}
template <int L>
inline Tan<L> operator+(Tan<L> a, double s) {
    a.v += s;
    return a;
}
template <int L>
inline Tan<L> operator+(double s, Tan<L> a) {
    a.v += s;
    return a;
}
template <int L>
inline Tan<L> operator-(Tan<L> a, double s) {
    a.v -= s;
    return a;
}
template <int L>
inline Tan<L> operator-(double s, const Tan<L>& a) {
    return -a + s;
}
template <int L>
inline Tan<L> operator/(const Tan<L>& a, const Tan<L>& b) {
    Tan<L> r;
    const double ib = 1.0 / b.v;
    r.v = a.v * ib;
    for (int l = 0; l < L; ++l) r.t[l] = (a.t[l] - r.v * b.t[l]) * ib;
    return r;
}
template <int L>
inline Tan<L> operator/(const Tan<L>& a, double s) {
    return a * (1.0 / s);
}
template <int L>
inline Tan<L> operator/(double s, const Tan<L>& b) {
    Tan<L> r;
    r.v = s / b.v;
    const double f = -r.v / b.v;
    for (int l = 0; l < L; ++l) r.t[l] = f * b.t[l];
    return r;
}
template <int L>
inline Tan<L> chain(const Tan<L>& a, double f, double df) {
    Tan<L> r;
    r.v = f;
    for (int l = 0; l < L; ++l) r.t[l] = df * a.t[l];
    return r;
}
template <int L>
inline Tan<L> exp(const Tan<L>& a) {
    double e = std::exp(a.v);
    return chain(a, e, e);
}
template <int L>
inline Tan<L> log(const Tan<L>& a) {
    return chain(a, std::log(a.v), 1.0 / a.v);
}
template <int L>
inline Tan<L> sqrt(const Tan<L>& a) {
    double s = std::sqrt(a.v);
    return chain(a, s, 0.5 / s);
}
template <int L>
inline Tan<L> pow(const Tan<L>& a, double p) {
    double f = std::pow(a.v, p);
    return chain(a, f, p * f / a.v);
}
// b^e with a constant base
template <int L>
inline Tan<L> pow(double b, const Tan<L>& e) {
    return exp(e * std::log(b));
}

inline double value(double a) { return a; }
inline bool is_zero(double a) { return a == 0.0; }
template <int L>
inline bool is_zero(const Tan<L>& a) {
    if (a.v != 0.0) return false;
    for (int l = 0; l < L; ++l)
        if (a.t[l] != 0.0) return false;
    return true;
}
template <int L>
inline double value(const Tan<L>& a) {
    return a.v;
}

template <int K, class S = double>
struct Dual {
    S v = S(0.0);
    S d[K] = {};

    Dual() = default;
    Dual(double c) : v(c) {}  // a constant
    template <class U = S, std::enable_if_t<!std::is_same_v<U, double>, int> = 0>
    Dual(const S& c) : v(c) {}

    static Dual seed(const S& value, int i, double slope = 1.0) {
        Dual r(value);
        r.d[i] = S(slope);
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

template <int K, class S>
inline double value(const Dual<K, S>& a) {
    return value(a.v);
}

// S = double: the scalar operands below are the double ones; otherwise both kinds.
template <class S>
using Nested = std::enable_if_t<!std::is_same_v<S, double>, int>;

template <int K, class S>
inline Dual<K, S> operator+(Dual<K, S> a, const Dual<K, S>& b) {
    return a += b;
}
template <int K, class S>
inline Dual<K, S> operator-(Dual<K, S> a, const Dual<K, S>& b) {
    return a -= b;
}
template <int K, class S>
inline Dual<K, S> operator-(Dual<K, S> a) {
    a *= -1.0;
    return a;
}
template <int K, class S>
inline Dual<K, S> operator*(Dual<K, S> a, double s) {
    return a *= s;
}
template <int K, class S>
inline Dual<K, S> operator*(double s, Dual<K, S> a) {
    return a *= s;
}
template <int K, class S>
inline Dual<K, S> operator+(Dual<K, S> a, double s) {
    a.v += s;
    return a;
}
template <int K, class S>
inline Dual<K, S> operator+(double s, Dual<K, S> a) {
    a.v += s;
    return a;
}
template <int K, class S>
inline Dual<K, S> operator-(Dual<K, S> a, double s) {
    a.v -= s;
    return a;
}
template <int K, class S>
inline Dual<K, S> operator-(double s, const Dual<K, S>& a) {
    return -a + s;
}

template <int K, class S>
inline Dual<K, S> operator*(const Dual<K, S>& a, const Dual<K, S>& b) {
    Dual<K, S> r;
    r.v = a.v * b.v;
    for (int k = 0; k < K; ++k) r.d[k] = a.d[k] * b.v + a.v * b.d[k];
    return r;
}

template <int K, class S>
inline Dual<K, S> operator/(const Dual<K, S>& a, const Dual<K, S>& b) {
    Dual<K, S> r;
    const S ib = 1.0 / b.v;
    r.v = a.v * ib;
    for (int k = 0; k < K; ++k) r.d[k] = (a.d[k] - r.v * b.d[k]) * ib;
    return r;
}

template <int K, class S>
inline Dual<K, S> operator/(const Dual<K, S>& a, double s) {
    return a * (1.0 / s);
}

template <int K, class S>
inline Dual<K, S> operator/(double s, const Dual<K, S>& b) {
    Dual<K, S> r;
    r.v = s / b.v;
    const S f = -r.v / b.v;
    for (int k = 0; k < K; ++k) r.d[k] = f * b.d[k];
    return r;
}

// r = f(a) with derivative f'(a).
template <int K, class S>
inline Dual<K, S> chain(const Dual<K, S>& a, const S& f, const S& df) {
    Dual<K, S> r;
    r.v = f;
    for (int k = 0; k < K; ++k) r.d[k] = df * a.d[k];
    return r;
}

template <int K, class S>
inline Dual<K, S> exp(const Dual<K, S>& a) {
    using std::exp;
    const S e = exp(a.v);
    return chain(a, e, e);
}
template <int K, class S>
inline Dual<K, S> log(const Dual<K, S>& a) {
    using std::log;
    return chain(a, S(log(a.v)), S(1.0 / a.v));
}
template <int K, class S>
inline Dual<K, S> sqrt(const Dual<K, S>& a) {
    using std::sqrt;
    const S s = sqrt(a.v);
    return chain(a, s, S(0.5 / s));
}
template <int K, class S>
inline Dual<K, S> pow(const Dual<K, S>& a, double p) {
    using std::pow;
    const S f = pow(a.v, p);
    return chain(a, f, S(p * f / a.v));
}

// scalar operands of the value type (nested numbers only)
template <int K, class S, Nested<S> = 0>
inline Dual<K, S> operator*(const Dual<K, S>& a, const S& s) {
    Dual<K, S> r;
    r.v = a.v * s;
    for (int k = 0; k < K; ++k) r.d[k] = a.d[k] * s;
    return r;
}
template <int K, class S, Nested<S> = 0>
inline Dual<K, S> operator*(const S& s, const Dual<K, S>& a) {
    return a * s;
}
template <int K, class S, Nested<S> = 0>
inline Dual<K, S> operator+(Dual<K, S> a, const S& s) {
    a.v += s;
    return a;
}
template <int K, class S, Nested<S> = 0>
inline Dual<K, S> operator-(Dual<K, S> a, const S& s) {
    a.v -= s;
    return a;
}
template <int K, class S, Nested<S> = 0>
inline Dual<K, S> operator/(const Dual<K, S>& a, const S& s) {
    return a * (1.0 / s);
}

}  // namespace enrtl
