// NRTL local-composition term of the molecular species alone (no ions): ln gamma of a molecule,
// used for infinite-dilution references of the Henry components.
//
// ln gamma_i = dF/dn_i of F(n) = sum_m n_m (sum_j n_j G_jm tau_jm) / (sum_j n_j G_jm),
// G_jm = exp(-alpha_jm tau_jm), all sums over the molecules in the order of `mol`. The derivative
// is taken by a complex step (h = 1e-30): Im F(x + i h e_i) / h, exact to rounding, no
// cancellation.
#pragma once
#include <vector>

#include <Eigen/Dense>

namespace brinequil::core {

// A read-only view of a dense matrix in someone else's storage (e.g. a NumPy array).
struct MatrixView {
    const double* data = nullptr;
    Eigen::Index rows = 0, cols = 0, row_stride = 0, col_stride = 0;  // strides in elements
    double operator()(Eigen::Index i, Eigen::Index j) const {
        return data[i * row_stride + j * col_stride];
    }
};

class MolecularNrtl {
public:
    // tau, alpha: square matrices indexed [j, m] by species index; only rows/columns in `mol` are
    // read (throws IndexError when a molecular index lies outside them). Reuses this object's
    // storage (no allocation once the molecule count is set).
    void assign(const std::vector<int>& mol, const MatrixView& tau, const MatrixView& alpha);

    // ln gamma of species i (a species index) at the amounts x (full species vector; only the
    // molecular entries are read, the scale of x does not matter). 0.0 when i is not molecular.
    double ln_gamma_at(const Eigen::Ref<const Eigen::VectorXd>& x, int i) const;

    // The whole vector: out[i] for every molecular i, exactly 0.0 elsewhere. out has x's length.
    void ln_gamma(const Eigen::Ref<const Eigen::VectorXd>& x,
                  Eigen::Ref<Eigen::VectorXd> out) const;

    const std::vector<int>& mol() const { return mol_; }

private:
    double at_position(const Eigen::Ref<const Eigen::VectorXd>& x, std::size_t p) const;
    std::vector<int> mol_;
    Eigen::MatrixXd G_, tau_;  // M x M over the molecules, [j, m] in the order of mol_
};

}  // namespace brinequil::core
