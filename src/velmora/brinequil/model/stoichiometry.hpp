// Stoichiometry of the equilibrium reactions and the reaction invariants derived from it once.
#pragma once
#include <vector>

#include <Eigen/Dense>

namespace brinequil::core {

// Species in no reaction (zero column of nu) that the speciation leaves out of its Newton system
// when they have no amount: the rows of B rotated (Householder, C = [B e_i] = QR) so that rows
// z.. of Q^T B are orthonormal invariants that do not involve them (z = their number).
struct InertSplit {
    std::vector<Eigen::Index> active, inert;
    Eigen::MatrixXd Ba;  // rows z.. of Q^T B on the active columns, in their order
    bool empty() const { return inert.empty(); }
};

// The split for the given inert species (each a zero column of nu, 0 < count <= rows of B).
InertSplit split_inert(const Eigen::MatrixXd& B, std::vector<Eigen::Index> inert);

struct Stoichiometry {
    Eigen::MatrixXd nu;   // n_eq x n_s, row r = r-th EQUIL reaction, reactants negative
    Eigen::MatrixXd B;    // (n_s - rank) x n_s, orthonormal rows spanning the null space of nu
    Eigen::VectorXd net;  // n_eq, sum_i nu_ri: the change of the number of moles by reaction r
    Eigen::Index rank = 0;
    // The split with every species of no reaction left out, the usual case (a gas of the model
    // that is not in the liquid); empty when there is none or it would leave nothing.
    InertSplit inert;

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
