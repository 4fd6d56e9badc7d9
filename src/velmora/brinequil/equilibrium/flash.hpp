// Vapor-liquid equilibrium of an electrolyte liquid against the property package's vapor:
// K-values, the Newton two-phase split, the TP flash and the bubble temperature. Apparent
// vectors are over the package's components (component order); the electrolyte model and the
// package enter through the hooks, which the host binds to the Python side.
#pragma once
#include <Eigen/Dense>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace brinequil::core {

// An apparent vector must have one entry per component: IndexError when it is shorter (an
// entry would be read past its end), ValueError when it is longer.
void check_length(const Eigen::VectorXd& v, Eigen::Index ncomp, const char* what);

// Liquid fugacities of an apparent liquid, on the package's components.
struct ComponentFugacities {
    std::vector<char> has;  // component name is a key of the fugacity mapping
    Eigen::VectorXd f;      // fugacity [Pa] where `has`
    Eigen::VectorXd n;      // true amounts of the speciation (species order)
};

struct KValues {
    Eigen::VectorXd K;  // over the components; 0.0 where the liquid has no fugacity
    Eigen::VectorXd n;  // true amounts per unit of apparent liquid
};

// K = f / (xa phi P). xa is floored at 1e-12 and normalised over all its entries; `fug` gets
// that vector (it pairs the first min(nc, size) entries with the component names); `ln_phi`
// (called after it) gives ln phi of the vapor. IndexError when a volatile component lies past
// the end of xa or of ln phi.
KValues kvalues(const Eigen::VectorXd& xa, double P, Eigen::Index ncomp,
                const std::function<ComponentFugacities(const Eigen::VectorXd& xa)>& fug,
                const std::function<Eigen::VectorXd()>& ln_phi);

// The volatile components of a split of the feed z: those with Antoine data (has_antoine(k)),
// or, only looked up without, a Henry component of the model (species names, henry positions),
// and z > 0. ValueError "'X' is not in list" for a component without Antoine data that is no
// species, IndexError where z is shorter than a volatile component's position.
std::vector<char> volatile_components(const std::vector<std::string>& comps,
                                      const std::vector<std::string>& names,
                                      const std::vector<int>& henry, const Eigen::VectorXd& z,
                                      const std::function<bool(std::size_t k)>& has_antoine);

struct SplitResult {
    double beta = 0.0;
    Eigen::VectorXd x, y, n;
    long nfev = 0;
    int status = 0;       // MINPACK's info code of the hybrid method (1: converged)
    Eigen::VectorXd s;    // the variables at the solution
    Eigen::MatrixXd jac;  // the solver's Jacobian estimate there (d residual / d s)
};

struct SplitHooks {
    // liquid fugacities of the apparent liquid l / sum(l)
    std::function<ComponentFugacities(const Eigen::VectorXd& xl)> fug;
    // ln phi of the vapor y (floored mole fractions) at the call's T, P
    std::function<Eigen::VectorXd(const Eigen::VectorXd& y)> ln_phi;
    // component name, for the KeyError of a volatile component without a liquid fugacity
    std::function<std::string(Eigen::Index k)> name;
};

// Two-phase split by hybrid Powell on s, v = z / (1 + e^-s), over the volatile components
// (`vol`: volatile and z > 0), solving ln f_L = ln (y phi P). ValueError "two-phase split of
// the electrolyte liquid diverged" when the solution is not finite.
SplitResult flash_newton(const Eigen::VectorXd& z, double P, const Eigen::VectorXd& v0,
                         const std::vector<char>& vol, const SplitHooks& hooks);

// Where a split starts from the solution of a nearby flash (the previous temperature of a
// temperature solve): its variables s (else the vapor amounts v0) and the Jacobian J there
// (empty: forward differences).
struct SplitStart {
    Eigen::VectorXd s, v0;
    Eigen::MatrixXd J;
};

// The split by Newton steps from `start` (warm_newton: Broyden updates of start.J, forward
// differences when a step fails), for a solution close to it. true with `out` filled, and
// start.s, start.J at the solution, when the steps converge to a vapor fraction strictly inside
// (0, 1); false otherwise (the caller runs the TP flash instead). Errors of the hooks pass.
bool split_near(const Eigen::VectorXd& z, double P, const std::vector<char>& vol,
                const SplitHooks& hooks, SplitStart& start, SplitResult& out);

struct TPFlashHooks {
    std::function<KValues(const Eigen::VectorXd& x, const Eigen::VectorXd& y)> kvalues;
    std::function<SplitResult(const Eigen::VectorXd& z, const Eigen::VectorXd& v0)> newton;
    std::function<Eigen::VectorXd(const Eigen::VectorXd& x)> true_amounts;
    std::function<double(const Eigen::VectorXd& z, const Eigen::VectorXd& K)> rachford_rice;
    std::function<double(const Eigen::VectorXd& y)> enthalpy_vapor;
    std::function<double(const Eigen::VectorXd& y)> entropy_vapor;
    std::function<double(const Eigen::VectorXd& n)> liquid_enthalpy;
    std::function<double(const Eigen::VectorXd& x)> entropy_liquid;
};

// Default tolerance of the TP flash on max |ln K_new / K_old| of a substitution step.
constexpr double kFlashTol = 1e-9;

struct TPFlashResult {
    double beta = 0.0;
    Eigen::VectorXd x, y;
    double H = 0.0, S = 0.0;
    long iterations = 0;
    Eigen::VectorXd n;
    bool substituted = false;  // at least one substitution step ran
    double err = 0.0;          // max |ln K_new/K_old| of the last substitution step
};

// H and S per unit of feed of the phases (beta, y) and (1 - beta, x; true amounts n); a phase
// without amount is not evaluated, nor is a quantity whose pointer is null.
void phase_energies(double beta, const Eigen::VectorXd& x, const Eigen::VectorXd& y,
                    const Eigen::VectorXd& n, const TPFlashHooks& hooks, double* H, double* S);

// The successive substitution of the TP flash: z normalised, K of the feed as a liquid (vapor
// at the feed too), then up to `steps` steps on K with the package's Rachford-Rice when the
// feed is above its bubble point (sum K z > 1 or NaN).
struct Substitution {
    Eigen::VectorXd z, x, y, K, n;
    double beta = 0.0;         // the last unclipped Rachford-Rice value (0.0: no step ran)
    double err = 0.0;          // max |ln K_new/K_old| of the last step
    long it = 0;               // the number of the last step (0 when none ran)
    bool substituted = false;  // at least one step ran
    bool settled = false;      // no step was needed, or the last met the tolerance
};
Substitution substitute(const Eigen::VectorXd& z, Eigen::Index ncomp, double tol,
                        const TPFlashHooks& hooks, int steps);

// How a substitution runs where it is not the TP flash's (the defaults are the flash's; steps
// and tol have none).
struct SubstitutionOptions {
    double tol = 0.0;  // ends at max |ln K_new/K_old| < tol (over entries with both K > 0)
    int steps = 0;
    const Eigen::VectorXd* x = nullptr;  // start liquid and vapor of the first K-values (null:
    const Eigen::VectorXd* y = nullptr;  //   the feed)
    bool normalise = true;               // z / sum z; else z as given
    bool bubble_test = true;  // sum K z <= 1: one liquid, no step; else at least one step
    // A step whose max |ln K_new/K_old| is not below 0.9 of the last halves the weight w of
    // K_new in ln K = (1 - w) ln K_old + w ln K_new (from 1, down to 0.1): the K-values of
    // reacting gases swing with the liquid's loading, and plain substitution can cycle.
    bool damped = false;
    bool absent_stay_absent = false;  // x = 0 where z <= 0 (0/0 when b = 1 and K = 0)
    // > 0: also end when max |ln K_new/K_old| is below stall_tol and has set no new low for this
    // many steps (K-values from a speciation settled to its own tolerance carry noise below
    // which tol may lie; steps there only move the answer within that noise)
    int stall_steps = 0;
    double stall_tol = 0.0;
};
Substitution substitute(const Eigen::VectorXd& z, Eigen::Index ncomp, const TPFlashHooks& hooks,
                        const SubstitutionOptions& opt);

// The rest of the TP flash after its substitution: the Newton split when the last vapor fraction
// is strictly inside (0, 1) and the substitution did not settle, the nonvolatile cap, the
// one-phase rules on the unclipped vapor fraction, and the energies.
TPFlashResult finish_flash(Substitution sub, double tol, const TPFlashHooks& hooks);

// The TP flash: at most 15 substitution steps on K with the package's Rachford-Rice, then the
// Newton split when the last vapor fraction is strictly inside (0, 1) and not converged; the
// nonvolatile cap and the one-phase rules on the unclipped vapor fraction. z is normalised here.
TPFlashResult flash_tp(const Eigen::VectorXd& z, Eigen::Index ncomp, double tol,
                       const TPFlashHooks& hooks);

// The package's Rachford-Rice solution (phasekit._k_rachford_rice, the same operations in the
// same order): the vapor fraction with sum z (K - 1) / (1 + beta (K - 1)) = 0 over the entries
// with z > 0 (pairs up to the shorter vector), not clipped; 0 without such entries, NaN when a
// K is not finite, -inf / +inf when every K lies on one side of 1. Newton steps kept inside the
// bracket between the poles.
double rachford_rice(const Eigen::VectorXd& z, const Eigen::VectorXd& K);

struct BubbleT {
    double T = 0.0;
    Eigen::VectorXd y;
};

// Bubble temperature of the liquid x at the hooks' pressure: window search from
// (T0 - 20, T0 + 20) by 20 K on ln(max(sum K x, 1e-300)), then Brent to 1e-8 K. `kvalues(T)`
// gives K at T with the vapor taken at the liquid composition.
BubbleT bubble_t(const Eigen::VectorXd& x, double T0,
                 const std::function<Eigen::VectorXd(double T)>& kvalues);

}  // namespace brinequil::core
