#include "equilibrium/compiled_activity.hpp"

#include <vector>

#include "model.hpp"

namespace brinequil::core {

void CompiledDerivatives::directional(const Eigen::VectorXd& x, double T, const Eigen::MatrixXd& W,
                                      const Eigen::MatrixXd& V, Eigen::VectorXd& Wlng,
                                      Eigen::MatrixXd& P) {
    Wlng.resize(W.rows());
    P.resize(W.rows(), V.cols());
    m_.ln_gamma_directional_derivatives(x, T, o_, W, V, Wlng, P);
}

bool CompiledDerivatives::rows_free() const { return m_.hand_ok(); }

LnGammaDerivatives compiled_ln_gamma_derivatives(enrtl::Model& m, const enrtl::Options& o,
                                                 Eigen::Index ns) {
    const std::vector<int> only_T{static_cast<int>(ns)};
    return [&m, &o, ns, only_T, unused = Eigen::MatrixXd()](
               const Eigen::VectorXd& x, double t, Eigen::VectorXd& lng, Eigen::MatrixXd* J,
               Eigen::VectorXd& lT) mutable {
        lng.resize(ns);
        lT.resize(ns);
        Eigen::MatrixXd& Jm = J ? *J : unused;
        Jm.resize(ns, ns);
        m.ln_gamma_derivatives(x, t, o, lng, Jm, lT, J ? nullptr : &only_T);
    };
}

}  // namespace brinequil::core
