// The largest residual of a speciation, as a check of an answer computes it (independently of
// the solver's own scaled residuals): reactions in ln units, invariants relative to the feed.
#pragma once
#include <functional>

#include <Eigen/Dense>

#include "model/stoichiometry.hpp"

namespace brinequil::core {

// max |nu (ln x + lng - ref) - ln K| over the reactions and max |B (n - n0)| / sum n0 over the
// invariants, for the true amounts n and ln gamma lng; inf where n has a negative, NaN or inf
// entry or a residual is not finite. The model enters where needed, in this order: ref(x) the
// Henry reference at x = n / sum n, ln_k() the constants, n0() the feed on the species.
// ValueError for vectors of the wrong size.
double speciation_residual(const Stoichiometry& st, const Eigen::VectorXd& n,
                           const Eigen::VectorXd& lng,
                           const std::function<Eigen::VectorXd(const Eigen::VectorXd& x)>& ref,
                           const std::function<Eigen::VectorXd()>& ln_k,
                           const std::function<Eigen::VectorXd()>& n0);

}  // namespace brinequil::core
