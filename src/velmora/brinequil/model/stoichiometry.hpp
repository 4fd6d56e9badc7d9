// Stoichiometry of the equilibrium reactions and the reaction invariants derived from it once.
#pragma once
#include <Eigen/Dense>

namespace brinequil::core {

struct Stoichiometry {
    Eigen::MatrixXd nu;   // n_eq x n_s, row r = r-th EQUIL reaction, reactants negative
    Eigen::MatrixXd B;    // (n_s - rank) x n_s, orthonormal rows spanning the null space of nu
    Eigen::VectorXd net;  // n_eq, sum_i nu_ri: the change of the number of moles by reaction r
    Eigen::Index rank = 0;

    Eigen::Index n_eq() const { return nu.rows(); }
    Eigen::Index n_species() const { return nu.cols(); }
};

// Absolute threshold on the singular values of nu^T that decides the rank; deliberately not
// scaled, so that the invariants of a model do not depend on the size of its coefficients.
constexpr double kRankThreshold = 1e-10;

// Builds B from the complete SVD of nu^T (U is n_s x n_s; B = the columns of U past the rank,
// transposed). Throws LinAlgError when nu has no rows (no equilibrium reaction) or the
// decomposition fails (non-finite coefficients).
Stoichiometry make_stoichiometry(Eigen::MatrixXd nu);

}  // namespace brinequil::core
