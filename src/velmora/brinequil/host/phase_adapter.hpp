// Conversions between Python objects and the core's Eigen vectors, and the calls into the
// property-package module used by the phase-equilibrium and enthalpy code. Every sibling
// function is looked up on its module at each call, so tests can replace it.
#pragma once
#include <Eigen/Dense>
#include <optional>
#include <string>
#include <vector>

#include "equilibrium/package_props.hpp"
#include "host/convert.hpp"
#include "host/electrolyte.hpp"

namespace brinequil::host::adapt {

using host::to_double;
using host::to_vec;
using host::truthy;
// The strings of a sequence of names.
std::vector<std::string> to_names(py::handle seq);
// Position of the first occurrence of name, or -1.
Eigen::Index find_name(const std::vector<std::string>& names, const std::string& name);

py::object phasekit(const char* name);
// fn is the package's own phasekit function of that name (phasekit._NATIVE), which the core has
// in C++: the caller may run that instead of calling fn.
bool phasekit_own(py::handle fn, const char* name);
// phi_vapor is the package's own and pp.vapor is "ideal": ln phi = 0 for every component, and
// the caller may skip the call.
bool ideal_vapor(py::handle phi_vapor, py::handle pp);

// pp's data for the C++ enthalpy and entropy of core/package_props when phasekit's functions
// behind them (enthalpy_vapor, entropy_vapor, entropy_liquid, _k_h_ig, _dh_ref and their
// helpers) are all the package's own and pp has the ideal vapor; nothing otherwise, and nothing
// when pp holds data that the port does not take as it stands (the package's functions are then
// called, and raise their own errors). `comps`: pp.components as read by the caller.
std::optional<core::PackageData> package_data(py::handle pp, const std::vector<std::string>& comps);

// liquid_enthalpy(el, pp, n, T, P=None, pure=None) [J per unit of n]; el: anything with the
// attributes sp and names. `props`: pp's data when the caller has read it (else read here).
double liquid_enthalpy(py::handle el, py::handle pp, py::handle n, double T, py::handle P,
                       py::handle pure, const core::PackageData* props = nullptr);

}  // namespace brinequil::host::adapt
