// Conversions between Python objects and the core's Eigen vectors, and the calls into the
// property-package module used by the phase-equilibrium and enthalpy code. Every sibling
// function is looked up on its module at each call, so tests can replace it.
#pragma once
#include <Eigen/Dense>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "enthalpy/enthalpy.hpp"
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

// liquid_enthalpy's data of one model and package, read once (el's names and sp's ion flags,
// pp's components and tables, the ions' CP_AQ and DHF_AQ in pure), for the enthalpy of many
// liquids and its gradient. Nothing is given (the caller takes liquid_enthalpy or its own path)
// where phasekit's functions are not the package's own, pp's data is not what the port takes,
// the activity model is not the compiled one, or a reference enthalpy is not finite.
class PreparedEnthalpy {
public:
    PreparedEnthalpy(py::handle el, py::handle pp, py::handle pure);
    // liquid_enthalpy(el, pp, n, T, None, pure), the same arithmetic [J per unit of n].
    std::optional<double> value(py::handle sp, const Eigen::VectorXd& n, double T) const;
    // core::liquid_enthalpy_gradient with the activity model's derivatives at its options.
    bool gradient(py::handle sp, py::handle options, bool fixed_ion_fractions,
                  const Eigen::VectorXd& n, double T, Eigen::VectorXd& g, double& dT) const;

private:
    bool own() const;  // phasekit's _k_h_ig and _dh_ref are (still) the package's own
    std::vector<Eigen::Index> comp_pos_;
    std::vector<bool> is_ion_;
    core::IonData ions_;  // per species
    std::optional<core::PackageData> props_;
    double R_ = 0.0;
};

}  // namespace brinequil::host::adapt
