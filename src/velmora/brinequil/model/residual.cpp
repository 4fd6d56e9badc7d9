#include "model/residual.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "model/errors.hpp"

namespace brinequil::core {

double speciation_residual(const Stoichiometry& st, const Eigen::VectorXd& n,
                           const Eigen::VectorXd& lng,
                           const std::function<Eigen::VectorXd(const Eigen::VectorXd& x)>& ref,
                           const std::function<Eigen::VectorXd()>& ln_k,
                           const std::function<Eigen::VectorXd()>& n0_of) {
    const Eigen::Index ns = st.n_species();
    if (n.size() != ns || lng.size() != ns)
        throw ValueError("_residual: n and lng need one entry per species (" + std::to_string(ns) +
                         "), got " + std::to_string(n.size()) + " and " +
                         std::to_string(lng.size()));
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double tot = n.sum();  // NaN or inf with any such entry
    if (!(std::isfinite(tot) && tot > 0.0 && n.minCoeff() >= 0.0)) return kInf;
    // the largest |v_i|; NaN wins (a check must not skip it)
    auto largest = [](const Eigen::VectorXd& v, double start) {
        for (Eigen::Index i = 0; i < v.size(); ++i) {
            const double a = std::abs(v[i]);
            if (!(a <= start)) start = a;
        }
        return start;
    };
    double res = 0.0;
    if (st.n_eq() > 0) {
        const Eigen::VectorXd x = n / tot;
        Eigen::VectorXd lx = x.cwiseMax(1e-300).array().log().matrix() + lng;
        lx -= ref(x);
        // a non-finite entry fails the check even where no reaction takes the species (as
        // 0 * NaN in the product would, which a matrix kernel may skip)
        if (!lx.allFinite()) return kInf;
        res = largest(st.nu * lx - ln_k(), res);
    }
    if (st.B.rows() > 0) {
        const Eigen::VectorXd n0 = n0_of();
        Eigen::VectorXd d = st.B * (n - n0);
        d /= std::max(n0.sum(), 1e-300);
        res = largest(d, res);
    }
    return std::isfinite(res) ? res : kInf;
}

}  // namespace brinequil::core
