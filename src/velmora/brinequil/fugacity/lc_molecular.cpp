#include "fugacity/lc_molecular.hpp"

#include <cmath>
#include <complex>
#include <limits>
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

// Im F(x + i h e_{mol[p]}) / h with the sums in the order of mol (only X[p] is complex), in real
// arithmetic with the operations of the complex one: the imaginary parts are h times real
// numbers, so each sum has one nonzero imaginary term, and for these magnitudes the compiler's
// complex division is Smith's method with |Re den| >= |Im den| (other cases take it as it is).
double MolecularNrtl::at_position(const Eigen::Ref<const Eigen::VectorXd>& x, std::size_t p) const {
    using C = std::complex<double>;
    const auto M = static_cast<Eigen::Index>(mol_.size());
    const auto P = static_cast<Eigen::Index>(p);
    double g = 0.0;  // Im F
    for (Eigen::Index b = 0; b < M; ++b) {
        double num = 0.0, den = 0.0;
        for (Eigen::Index a = 0; a < M; ++a) {
            const double xg = x[mol_[a]] * G_(a, b);
            num += xg * tau_(a, b);
            den += xg;
        }
        const double num_im = kStep * G_(P, b) * tau_(P, b), den_im = kStep * G_(P, b);
        // t = X(b) num, then t / den
        const double xb = x[mol_[b]], xb_im = b == P ? kStep : 0.0;
        const double t_re = xb * num - xb_im * num_im, t_im = xb * num_im + xb_im * num;
        const double ratio = den_im / den;
        if (std::abs(den) >= std::abs(den_im) &&
            std::abs(ratio) > std::numeric_limits<double>::min() && std::isfinite(den) &&
            std::isfinite(t_re) && std::isfinite(t_im)) {
            g += (t_im - t_re * ratio) / (den_im * ratio + den);
        } else {
            g += (C(t_re, t_im) / C(den, den_im)).imag();
        }
    }
    return g / kStep;
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
