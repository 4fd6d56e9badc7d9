// Scalar arithmetic with the failure behaviour of Python floats: a division by an exact 0.0
// raises instead of giving inf, and the logarithm of a negative number raises instead of NaN.
// Used wherever the model evaluates a correlation in T given by the caller.
#pragma once
#include <cmath>

#include "model/errors.hpp"

namespace brinequil::core {

inline double py_div(double a, double b) {
    if (b == 0.0) throw ZeroDivisionError("float division by zero");
    return a / b;
}

// ln x; 0 and negative arguments raise "math domain error" like math.log (NaN passes through).
inline double py_log(double x) {
    if (x <= 0.0) throw ValueError("math domain error");
    return std::log(x);
}

}  // namespace brinequil::core
