#include "model/speciation_check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brinequil::core {

namespace {
// The largest |v_i| and start; NaN wins (a check must not skip it).
double largest(const Eigen::VectorXd& v, double start) {
    for (Eigen::Index i = 0; i < v.size(); ++i) {
        const double a = std::abs(v[i]);
        if (!(a <= start)) start = a;
    }
    return start;
}
}  // namespace

double speciation_residual(const Stoichiometry& st, const Eigen::VectorXd& n,
                           const Eigen::VectorXd& lng, const SpeciationCheckInputs& in) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double tot = n.sum();  // NaN or inf with any such entry
    if (!(std::isfinite(tot) && tot > 0.0 && n.minCoeff() >= 0.0)) return kInf;
    double res = 0.0;
    if (st.n_eq() > 0) {
        const Eigen::VectorXd x = n / tot;
        Eigen::VectorXd lx = x.cwiseMax(1e-300).array().log().matrix() + lng;
        Eigen::VectorXd ref;
        in.henry_ref(x, ref);
        lx -= ref;
        // a non-finite entry fails the check even where no reaction takes the species (as
        // 0 * NaN in the product would, which a matrix kernel may skip)
        if (!lx.allFinite()) return kInf;
        res = largest(st.nu * lx - in.ln_k(), res);
    }
    if (st.B.rows() > 0) {
        const Eigen::VectorXd n0 = in.n0();
        Eigen::VectorXd d = st.B * (n - n0);
        d /= std::max(n0.sum(), 1e-300);
        res = largest(d, res);
    }
    return std::isfinite(res) ? res : kInf;
}

}  // namespace brinequil::core
