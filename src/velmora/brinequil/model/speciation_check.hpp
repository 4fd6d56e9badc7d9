// The check of a speciation's answer: how far its true amounts and ln gamma lie from every
// equilibrium reaction and every reaction invariant.
#pragma once
#include <functional>

#include <Eigen/Dense>

#include "model/stoichiometry.hpp"

namespace brinequil::core {

// What the check reads of the model, asked for in this order and only where needed: the Henry
// reference at the true mole fractions x (one entry per species), ln K of every reaction at the
// check's T, and the apparent amounts on the species n0. A failure of one is raised as is.
struct SpeciationCheckInputs {
    std::function<void(const Eigen::VectorXd& x, Eigen::VectorXd& ref)> henry_ref;
    std::function<Eigen::VectorXd()> ln_k, n0;
};

// The largest of max_r |nu_r (ln x + lng - ref) - ln K_r| [ln units] and
// max |B (n - n0)| / sum n0 [relative]; inf where n has a negative, NaN or inf entry, where
// ln x + lng - ref has a non-finite entry, or where the result is not finite. n and lng have
// one entry per species of st (the caller checks).
double speciation_residual(const Stoichiometry& st, const Eigen::VectorXd& n,
                           const Eigen::VectorXd& lng, const SpeciationCheckInputs& in);

}  // namespace brinequil::core
