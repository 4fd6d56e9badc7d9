// Exact derivatives of a speciated liquid with respect to T and its apparent amounts.
//
// The speciation solves, in u = ln n over the species that can be present,
//     F_eq = nu (u - ln N + ln gamma(n, T) - ref(x, T)) - ln K(T) = 0
//     F_b  = B n - B n0(apparent) = 0                  (elements and charge)
// and the implicit function theorem gives dn/dtheta = -n (dF/du)^-1 dF/dtheta. From dn follow
// ln gamma, molalities, partial pressures (x gamma Psat or x gamma (H/gamma_inf)_mix), pH and
// saturation indices. Column 0 of every result is d/dT [per K], column 1 + k d/d(apparent k).
#pragma once
#include <vector>

#include <Eigen/Dense>

namespace brinequil::core {

// The activity model's exact second derivatives, as the caller's model gives them: W ln gamma
// at x (amounts) and T (Wlng) and P = W (J V_x + dT V_T), J(i, j) = d ln gamma_i / d x_j with
// the other x held, V_x the first n rows of V, V_T its last (T). W: k x n, V: (n + 1) x L.
class ActivityDerivatives {
public:
    virtual ~ActivityDerivatives() = default;
    virtual void directional(const Eigen::VectorXd& x, double T, const Eigen::MatrixXd& W,
                             const Eigen::MatrixXd& V, Eigen::VectorXd& Wlng,
                             Eigen::MatrixXd& P) = 0;
    // true where a call costs the same whatever the rows of W: then projecting on the reactions
    // saves nothing
    virtual bool rows_free() const { return false; }
};

// What does not change between liquids of one system and one list of components.
struct LiquidJacobianModel {
    Eigen::MatrixXd nu;      // reactions x species
    Eigen::MatrixXd B;       // invariants x species
    Eigen::MatrixXd D;       // species x components: n0 of one mol of each component
    Eigen::MatrixXd lnK;     // reactions x 3: B C D of ln K = A + B/T + C ln T + D T
    Eigen::MatrixXd si_nu;   // solids x species (dissolution)
    Eigen::MatrixXd si_lnK;  // solids x 3, as lnK
    std::vector<char> ion;   // per species
    std::vector<int> henry;  // Henry components
    std::vector<int> solv;   // solvents
    int water = 0;
    double mw_water = 18.015;  // kg/kmol
    int h3o = -1;              // H3O+, or -1
    struct HenryPair {
        int solvent;
        double vc23;              // Vc^(2/3) of the solvent
        std::vector<double> lnH;  // a b c d (e): a + b/T + c ln T + d T (+ e/T^2)
    };
    // per species: the Henry pairs of a Henry component, else the Antoine C1..C7 (empty where
    // the species has no vapor pressure)
    std::vector<std::vector<HenryPair>> pairs;
    std::vector<std::vector<double>> antoine;
};

struct LiquidJacobian {
    Eigen::MatrixXd amounts, ln_gamma, molality;  // species x (1 + components)
    Eigen::MatrixXd partial_pressures;            // volatile x (1 + components) [Pa]
    Eigen::MatrixXd saturation_indices;           // solids x (1 + components)
    Eigen::RowVectorXd pH;                        // empty without H3O+
};

// The derivatives of the liquid of true amounts n at T, made of the apparent amounts app (in
// the components' order), whose volatile species vol have the partial pressures pp [Pa].
// solvent_ref: the Henry components' gamma infinity is read in the liquid's solvents (model
// option henry_ref "solvent"), else in pure water.
void liquid_jacobian(const LiquidJacobianModel& m, ActivityDerivatives& act, bool solvent_ref,
                     const Eigen::VectorXd& n, double T, const Eigen::VectorXd& app,
                     const std::vector<int>& vol, const Eigen::VectorXd& pp, LiquidJacobian& out);

}  // namespace brinequil::core
