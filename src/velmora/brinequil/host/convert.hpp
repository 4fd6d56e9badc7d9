// Conversions between Python objects and the core's values, for every file of host/: one copy.
// Each raises the Python exception the equivalent Python expression would (or names what it
// converts in a ValueError / TypeError of its own).
#pragma once
#include <Eigen/Dense>

#include "host/electrolyte.hpp"

namespace brinequil::host {

// float(obj) the way arithmetic sees a number: no strings (TypeError "must be real number").
double to_double(py::handle obj);
// bool(obj) as Python does it.
bool truthy(py::handle obj);
// A one-dimensional array of numbers (anything NumPy turns into one): TypeError when it is not
// numbers, ValueError when it is not one-dimensional; `what` names it in the message.
Eigen::VectorXd to_vector(py::handle obj, const char* what);
// The same for any sequence of numbers (len() and indexing, float() of each item); TypeError
// "<what> must be a sequence of numbers" for anything else.
Eigen::VectorXd to_vec(py::handle obj, const char* what);
// A new NumPy float vector / C-ordered matrix with the values.
py::array_t<double> to_numpy(const Eigen::VectorXd& v);
py::array_t<double> to_numpy(const Eigen::MatrixXd& m);

}  // namespace brinequil::host
