// The front door's check of a flash answer in C++ (front_liquid.cpp), for the calls that run
// the flash and its check together.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "fugacity/liquid_fugacity.hpp"

namespace brinequil::host {

// The constants of velmora.checks that the phase check reads (VAPOR_FLOOR, RESOLUTION, TRACE).
struct Limits {
    double vapor_floor, resolution, trace;
};

// checks.phase_residual with the ideal gas, in its order of operations: (residual, balance).
// `pos`: the species position of each component (-1: none). nullopt where Python would divide
// by zero (the caller then leaves the check to Python).
std::optional<std::pair<double, double>> phase_residual(
    const std::vector<std::string>& comps, const Eigen::VectorXd& z, double beta,
    const Eigen::VectorXd& x, const Eigen::VectorXd& y, double P, const core::FugacityMap& f,
    const Eigen::VectorXd& n, const std::vector<Eigen::Index>& pos, double tol, const Limits& c);

}  // namespace brinequil::host
