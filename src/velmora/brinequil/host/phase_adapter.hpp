// Conversions between Python objects and the core's Eigen vectors, and the calls into the
// property-package module used by the phase-equilibrium and enthalpy code. Every sibling
// function is looked up on its module at each call, so tests can replace it.
#pragma once
#include <Eigen/Dense>
#include <string>
#include <vector>

#include "host/electrolyte.hpp"

namespace brinequil::host::adapt {

// float(obj) as Python does it (TypeError for non-numbers).
double to_double(py::handle obj);
// bool(obj) as Python does it.
bool truthy(py::handle obj);
// A 1-D float vector from any sequence or array of numbers.
Eigen::VectorXd to_vec(py::handle obj, const char* what);
// The strings of a sequence of names.
std::vector<std::string> to_names(py::handle seq);
// Position of the first occurrence of name, or -1.
Eigen::Index find_name(const std::vector<std::string>& names, const std::string& name);

py::object phasekit(const char* name);

// liquid_enthalpy(el, pp, n, T, P=None, pure=None) [J per unit of n]; el: anything with the
// attributes sp and names.
double liquid_enthalpy(py::handle el, py::handle pp, py::handle n, double T, py::handle P,
                       py::handle pure);

}  // namespace brinequil::host::adapt
