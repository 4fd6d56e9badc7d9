#include "fugacity/lc_molecular.hpp"

#include <cmath>
#include <complex>
#include <string>

#include "model/errors.hpp"

namespace brinequil::core {

namespace {
constexpr double kStep = 1e-30;  // complex step; far below rounding of any real part

[[noreturn]] void out_of_bounds(int idx, Eigen::Index size, int axis) {
    throw IndexError("index " + std::to_string(idx) + " is out of bounds for axis " +
                     std::to_string(axis) + " with size " + std::to_string(size));
}
}  // namespace

void MolecularNrtl::assign(const std::vector<int>& mol, const MatrixView& tau,
                           const MatrixView& alpha) {
    if (&mol != &mol_) mol_.assign(mol.begin(), mol.end());
    const auto M = static_cast<Eigen::Index>(mol_.size());
    G_.resize(M, M);
    tau_.resize(M, M);
    for (Eigen::Index a = 0; a < M; ++a) {
        const int j = mol_[a];
        if (j < 0 || j >= tau.rows) out_of_bounds(j, tau.rows, 0);
        if (j >= alpha.rows) out_of_bounds(j, alpha.rows, 0);
        for (Eigen::Index b = 0; b < M; ++b) {
            const int m = mol_[b];
            if (m < 0 || m >= tau.cols) out_of_bounds(m, tau.cols, 1);
            if (m >= alpha.cols) out_of_bounds(m, alpha.cols, 1);
            tau_(a, b) = tau(j, m);
            G_(a, b) = std::exp(-alpha(j, m) * tau(j, m));
        }
    }
}

// Im F(x + i h e_{mol[p]}) / h with the sums in the order of mol (only X[p] is complex).
double MolecularNrtl::at_position(const Eigen::Ref<const Eigen::VectorXd>& x, std::size_t p) const {
    using C = std::complex<double>;
    const auto M = static_cast<Eigen::Index>(mol_.size());
    const auto P = static_cast<Eigen::Index>(p);
    auto X = [&](Eigen::Index a) {
        const double re = x[mol_[a]];
        return a == P ? C(re, 0.0) + C(0.0, kStep) : C(re, 0.0);
    };
    C g(0.0, 0.0);
    for (Eigen::Index b = 0; b < M; ++b) {
        C num(0.0, 0.0), den(0.0, 0.0);
        for (Eigen::Index a = 0; a < M; ++a) {
            const C xa = X(a);
            num += xa * G_(a, b) * tau_(a, b);
            den += xa * G_(a, b);
        }
        g += X(b) * num / den;
    }
    return g.imag() / kStep;
}

double MolecularNrtl::ln_gamma_at(const Eigen::Ref<const Eigen::VectorXd>& x, int i) const {
    double out = 0.0;
    for (std::size_t p = 0; p < mol_.size(); ++p) {
        if (mol_[p] >= x.size()) out_of_bounds(mol_[p], x.size(), 0);
    }
    // A species listed twice among the molecules: the last position wins, as in the full vector.
    for (std::size_t p = mol_.size(); p-- > 0;)
        if (mol_[p] == i) return at_position(x, p);
    return out;
}

void MolecularNrtl::ln_gamma(const Eigen::Ref<const Eigen::VectorXd>& x,
                             Eigen::Ref<Eigen::VectorXd> out) const {
    for (std::size_t p = 0; p < mol_.size(); ++p)
        if (mol_[p] >= x.size() || mol_[p] >= out.size()) out_of_bounds(mol_[p], x.size(), 0);
    out.setZero();
    for (std::size_t p = 0; p < mol_.size(); ++p) out[mol_[p]] = at_position(x, p);
}

}  // namespace brinequil::core
