#include "equilibrium/flash_source.hpp"

#include <cmath>

namespace brinequil::core {

void FlashSource::bind(TPFlashHooks& h) {
    // Each hook holds the source alone, so that none allocates.
    FlashSource* s = this;
    h.kvalues = [s](const Eigen::VectorXd& x, const Eigen::VectorXd& y) {
        return s->kvalues(x, y);
    };
    h.newton = [s](const Eigen::VectorXd& z, const Eigen::VectorXd& v0) {
        return s->newton(z, v0);
    };
    h.true_amounts = [s](const Eigen::VectorXd& x) { return s->true_amounts(x); };
    h.rachford_rice = [s](const Eigen::VectorXd& z, const Eigen::VectorXd& K) {
        if (s->own_rachford_rice()) return rachford_rice(z, K);
        return s->package_rachford_rice(z, K);
    };
    h.enthalpy_vapor = [s](const Eigen::VectorXd& y) {
        if (const PackageData* d = s->props())
            if (const double v = enthalpy_vapor(*d, s->T_, y); std::isfinite(v)) return v;
        return s->package_enthalpy_vapor(y);
    };
    h.entropy_vapor = [s](const Eigen::VectorXd& y) {
        if (const PackageData* d = s->props())
            if (const double v = entropy_vapor(*d, s->T_, y, s->P_); std::isfinite(v)) return v;
        return s->package_entropy_vapor(y);
    };
    h.entropy_liquid = [s](const Eigen::VectorXd& x) {
        if (const PackageData* d = s->props(); d && x.size() == s->ncomp_)
            if (const double v = entropy_liquid(*d, s->T_, x); std::isfinite(v)) return v;
        return s->package_entropy_liquid(x);
    };
    h.liquid_enthalpy = [s](const Eigen::VectorXd& n) { return s->liquid_enthalpy(n); };
}

}  // namespace brinequil::core
