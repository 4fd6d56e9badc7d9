// Errors of the numerical core. host/ turns each into the Python exception a user of the
// equivalent Python code would see (see host/module.cpp).
#pragma once
#include <stdexcept>
#include <string>

namespace brinequil::core {

// ValueError: model and iteration failures ("chemical equilibrium of the liquid diverged", ...),
// and Python's "math domain error" for the logarithm of a non-positive number.
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// ZeroDivisionError: a division by an exact 0.0 where Python floats would raise.
struct ZeroDivisionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// KeyError: a missing mapping key; what() is the key itself.
struct KeyError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// IndexError: an index past the end of a caller's vector.
struct IndexError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// TypeError: wrong argument types or counts.
struct TypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// RuntimeError: something needed is not available (the engine).
struct RuntimeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// numpy.linalg.LinAlgError: a linear-algebra failure (e.g. no equilibrium reaction at all).
struct LinAlgError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace brinequil::core
