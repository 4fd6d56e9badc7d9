// The front door's check of a flash answer in C++ (front_liquid.cpp), for the calls that check
// an answer given (_front_flash_check) and that run the flash and its check together
// (_front_tp_flash).
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "equilibrium/phase_check.hpp"
#include "fugacity/liquid_fugacity.hpp"
#include "host/electrolyte.hpp"

namespace brinequil::host {

using core::FlashAnswer;
using core::HenryRef;
using core::Limits;

// What both calls return, from the answer's liquid (fugacities f {species: Pa}, true amounts n,
// ln gamma, apparent amounts on the species n0, the lnK it was solved with, whether it met its
// tolerance): (fugacities, n, lng, converged, (phase residual, balance, speciation residual) or
// None), the residuals as velmora.checks' phase_residual (ideal gas, in its order of operations)
// and speciation_residual give them; None where the speciation did not converge or Python would
// divide by zero. `pos`: the species position of each component (-1: none).
py::object flash_check_tuple(const Electrolyte& el, const FlashAnswer& ans,
                             const core::FugacityMap& f, const Eigen::VectorXd& n,
                             const Eigen::VectorXd& lng, const Eigen::VectorXd& n0,
                             const Eigen::VectorXd& lnK, bool converged,
                             const std::vector<Eigen::Index>& pos, double tol, const Limits& c,
                             const HenryRef& henry_ref);

// Whether the liquid (n, lng) passes velmora.checks.true_water: True, False (the check raises),
// or None where `water` is not the tuple of SystemInfo.self_ions_bound (H3O+, OH-, water
// positions, mol per mol of true water, water activity tolerance).
py::object water_holds(py::handle water, const Eigen::VectorXd& n, const Eigen::VectorXd& lng);

// The fugacities {species: Pa}, true amounts and ln gamma of the apparent liquid n_app at T from
// the warm record, as _front_fugacities gives them (each trace resolved to its own total), for a
// caller that has made sure that none of the methods it stands for is replaced in Python;
// nullopt, before anything is solved, where the model's tables or molecular term are not the
// package's own. Raises what the speciation raises.
struct FrontFugacities {
    core::FugacityMap f;
    Eigen::VectorXd n, lng;
};
std::optional<FrontFugacities> front_fugacities_of(py::handle self, py::handle n_app, double T);

}  // namespace brinequil::host
