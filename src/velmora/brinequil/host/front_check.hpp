// The front door's check of a flash answer in C++ (front_liquid.cpp), for the calls that check
// an answer given (_front_flash_check) and that run the flash and its check together
// (_front_tp_flash).
#pragma once
#include <functional>
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

}  // namespace brinequil::host
