// The compiled activity model (the electrolyte NRTL of velmora.ionactivity, enrtl::Model at its
// options) where the engine takes derivatives of it: the liquid's Jacobian and the gradient of
// its enthalpy. Nothing here calls Python: the callers run these without the GIL.
#pragma once
#include <Eigen/Dense>

#include "enthalpy/enthalpy.hpp"
#include "equilibrium/liquid_jacobian.hpp"

namespace enrtl {
class Model;
struct Options;
}  // namespace enrtl

namespace brinequil::core {

class CompiledDerivatives : public ActivityDerivatives {
public:
    CompiledDerivatives(enrtl::Model& m, const enrtl::Options& o) : m_(m), o_(o) {}
    void directional(const Eigen::VectorXd& x, double T, const Eigen::MatrixXd& W,
                     const Eigen::MatrixXd& V, Eigen::VectorXd& Wlng, Eigen::MatrixXd& P) override;
    bool rows_free() const override;

private:
    enrtl::Model& m_;
    const enrtl::Options& o_;
};

// ln gamma of ns species, d ln gamma / dT and, where asked, d ln gamma / dx from the model's
// exact derivatives (only the T column where J is not asked), for liquid_enthalpy_gradient.
LnGammaDerivatives compiled_ln_gamma_derivatives(enrtl::Model& m, const enrtl::Options& o,
                                                 Eigen::Index ns);

}  // namespace brinequil::core
