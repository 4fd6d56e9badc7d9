// Electrolyte NRTL model of Chen and co-workers for mixed solvents and several electrolytes:
// Pitzer-Debye-Hueckel long-range term, Born term and the generalised local-composition term.
// Every ln gamma is a partial derivative of one function F(n) = n G^ex/RT, homogeneous of degree
// one in the amounts, taken exactly with dual numbers.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <Eigen/Dense>

#include "dual.hpp"

namespace enrtl {

enum class Kind { Water = 0, Solvent = 1, Solute = 2, Ion = 3 };

// A temperature correlation of a solvent property: form code and coefficients.
struct Correlation {
    int form = 0;
    std::vector<double> c;
};

// Codes of the correlation forms (Correlation::form), as the species object passes them.
enum class DensityForm { Kell = 0, Dippr105 = 1, Poly = 2 };
enum class DielectricForm { BradleyPitzer = 0, Poly = 1, Recip = 2 };

struct MoleculePair {
    int i, j;
    double p[10];  // A_ij A_ji B_ij B_ji F_ij F_ji G_ij G_ji C D
};

struct ElectrolytePair {
    int m, c, a;
    // tau_m,ca: A B F G; tau_ca,m: A B F G; alpha; the molecule-ion-pair term W1: A B, W2: A B
    // (W = A + B/T, zero when absent)
    double p[13];
};

// The ion-ion-ion mixing term of two ions of one sign sharing an ion of the other:
// U n_i n_j n_k / N^2 with U = A + B/T (docs/activity-model.md). j == k is a like-ion triple,
// second order in that ion (one salt's curvature at high molality).
struct IonTriple {
    int i, j, k;  // the common ion, then the two ions of the other sign (j == k allowed)
    double p[2];  // U: A B
};

// The dilute-weighted terms of a solvent m (docs/activity-model.md): the like-ion term
// D n_m n_c^2 / N^2 g(kappa I_x^1/2) (second order in the ion c) and the salt-pair term
// D n_m n_c n_a / N^2 g(kappa I_x^1/2) of a cation c and an anion a (first order in each, zero
// without both: Pitzer's beta1 term acting on its own salt's two ions); D = A + B/T,
// g(y) = 2 (1 - (1 + y) e^-y) / y^2, I_x = sum z^2 n / (2 N). g is 1 at infinite dilution and
// falls as 2 / y^2: the curvature of a salt's dilute end (the form of Pitzer's beta1 term).
struct DiluteTerm {
    int m, c;     // the solvent, the (first) ion
    double p[2];  // D: A B
    int a = -1;   // the salt-pair term's anion; -1: the like-ion term (c twice)
    int other() const { return a < 0 ? c : a; }
};

// Everything a report says about the species, in species order.
struct ModelData {
    std::vector<Kind> kind;                        // per species (Henry components as Kind::Solute)
    std::vector<int> z;                            // charge
    std::vector<double> mw;                        // kg/kmol
    std::vector<double> born;                      // Born radius [m], ions only
    std::vector<int> solvents;                     // species indices of the solvent mixture
    std::vector<Correlation> density, dielectric;  // parallel to solvents
    std::vector<MoleculePair> mol_pairs;
    std::vector<ElectrolytePair> pairs;
    std::vector<IonTriple> ion_triples;    // none: no ion-ion-ion mixing term
    std::vector<DiluteTerm> dilute_terms;  // none: no dilute-weighted term
};

struct SecondOrderStates;  // derivatives.cpp: its temperature states, kept between calls

// The temperature functions the hand-differentiated F reads, as numbers R: double (Model's own
// state at T) or Tan<L> (T, or a parameter, carried as a tangent). Per solvent: rho, eps; M x M:
// Gmm, tmm; per (ci, ai, mi): tmca, tcam, Gcam, Ecell = exp(-alpha (tmca - tcam)), and W1, W2
// (null: no molecule-ion-pair term; each entry zero in value and tangents is skipped); U per
// ModelData::ion_triples (null: none); D per ModelData::dilute_terms (null: none).
template <class R>
struct HandCoefs {
    const R *rho, *eps, *Gmm, *tmm, *tmca, *tcam, *Gcam, *Ecell, *W1, *W2;
    R eps_w, aphi_T, born_T;
    const R* U = nullptr;
    const R* D = nullptr;
};

// The ion-ion-ion mixing term F_U = sum_t U_t n_i n_j n_k / N^2 over the triples t, U at T in
// numbers S (double, or Tan with T or a parameter as tangent), the amounts in N (a Dual whose
// gradient the result carries, or a plain number). Homogeneous of degree one; every product
// holds two ions, so the ions' reference at infinite dilution is unchanged.
template <class N, class S>
N ion_mixing(const std::vector<IonTriple>& t, const S* U, const N* n, const N& Nt) {
    N F(0.0);
    if (t.empty()) return F;
    const N iN2 = 1.0 / (Nt * Nt);
    for (std::size_t k = 0; k < t.size(); ++k) {
        if (is_zero(U[k])) continue;  // zero, or no tangent on it
        F += n[t[k].i] * n[t[k].j] * n[t[k].k] * iN2 * U[k];
    }
    return F;
}

// The same term and its gradient by hand, added to g: dF/dn_i = U n_j n_k / N^2 (likewise j,
// k) and -2 F / N on every species (dN/dn = 1). R = Tan<L>: the tangents ride along.
template <class R>
R ion_mixing_hand(const std::vector<IonTriple>& t, const R* U, const R* n, const R& Nt, int ns,
                  R* g) {
    R F(0.0);
    if (!U || t.empty()) return F;
    const R iN = 1.0 / Nt, iN2 = iN * iN;
    for (std::size_t k = 0; k < t.size(); ++k) {
        if (is_zero(U[k])) continue;
        const int i = t[k].i, j = t[k].j, l = t[k].k;
        const R u = U[k] * iN2;
        g[i] += u * n[j] * n[l];
        g[j] += u * n[i] * n[l];
        g[l] += u * n[i] * n[j];
        F += u * n[i] * n[j] * n[l];
    }
    const R dN = -2.0 * F * iN;
    for (int s = 0; s < ns; ++s) g[s] += dN;
    return F;
}

// kappa of the dilute weight: Pitzer's alpha I^1/2 with alpha 2 kg^1/2 mol^-1/2, I in mol/kg
// of water, is 2 (1000 / 18.015)^1/2 I_x^1/2 = 14.9 I_x^1/2.
constexpr double kDiluteKappa = 14.9;

// The series of g below y = 1: g = sum_k c_k y^k, c_k = 2 (-1)^k (k + 1) / (k + 2)!; 18 terms
// leave less than 1e-16 there.
struct DiluteSeries {
    static constexpr int kTerms = 18;
    double c[kTerms];
    constexpr DiluteSeries() : c() {
        double f = 1.0;  // (k + 2)!
        for (int k = 0; k < kTerms; ++k) {
            f *= k + 2;
            c[k] = (k % 2 ? -2.0 : 2.0) * (k + 1) / f;
        }
    }
};
inline constexpr DiluteSeries kDiluteSeries{};

// g(y) = 2 (1 - (1 + y) e^-y) / y^2 in numbers N (double, Tan, Dual, nested Dual); below y = 1
// by its series (the closed form cancels there).
template <class N>
N dilute_weight(const N& y) {
    if (value(y) < 1.0) {
        const double* c = kDiluteSeries.c;
        N r(c[DiluteSeries::kTerms - 1]);
        for (int k = DiluteSeries::kTerms - 2; k >= 0; --k) r = r * y + c[k];
        return r;
    }
    using std::exp;
    return (1.0 - (1.0 + y) * exp(-y)) * 2.0 / (y * y);
}

// F_D = sum_t D_t n_m n_c n_a / N^2 g(kappa I^1/2) over the terms t (a = c: the like-ion
// term), I = I_x in the numbers of the amounts N (its gradient rides along), D at T in S. With
// no ions (I = 0) g is 1: every derivative of n_c n_a (g - 1) vanishes there to second order.
template <class N, class S>
N dilute_weighted(const std::vector<DiluteTerm>& t, const S* D, const N* n, const N& Nt,
                  const N& I) {
    N F(0.0);
    if (t.empty()) return F;
    using std::sqrt;
    const N w = value(I) > 0 ? dilute_weight(N(sqrt(I) * kDiluteKappa)) : N(1.0);
    const N wN2 = w / (Nt * Nt);
    for (std::size_t k = 0; k < t.size(); ++k) {
        if (is_zero(D[k])) continue;
        F += n[t[k].m] * n[t[k].c] * n[t[k].other()] * wN2 * D[k];
    }
    return F;
}

// The work arrays of the hand-differentiated F: q (lc_work entries), X and g (n each), lr (n).
template <class R>
struct HandWork {
    R *q, *X, *g;
    Dual<8, R>* lr;
};

// A model parameter as a direction of derivatives: kind 0 an electrolyte pair (index into
// ModelData::pairs, coefficient 0-12 of its p, alpha (8) excepted), kind 1 a molecule pair
// (index into ModelData::mol_pairs, coefficient 0-9 of its p), kind 2 an ion triple (index into
// ModelData::ion_triples, coefficient 0-1 of its p), kind 3 a dilute-weighted term, like-ion
// or salt-pair (index into ModelData::dilute_terms, coefficient 0-1 of its p).
struct ParamDir {
    int kind, pair, coef;
};

// How the local-composition term of the ions is referred.
enum class LcRef { WaterRatio = 0, FusedSalt = 1 };

struct Options {
    bool fixed_Y = true;
    LcRef lc_ref = LcRef::WaterRatio;
};

// Properties of the ion-free solvent mixture (for inspection and tests).
struct SolventMix {
    double Ms, rho, eps, A_phi;
};

// Thread safety: every public evaluation locks the model's own mutex (the temperature cache and
// the dual-number work arrays are per model), so one model may be used from several threads;
// the calls then take turns. Nothing here touches Python: callers may drop the GIL around them.
class Model {
public:
    static constexpr int kMaxSpecies = 64;
    static constexpr double kRho = 14.9;  // closest approach of the PDH term

    explicit Model(ModelData d);

    int n() const { return n_; }
    // ln gamma of every species at mole fractions (or amounts) x and T [K]; x and out have n()
    // entries (std::invalid_argument otherwise, and for non-finite x, a zero sum or a bad T).
    void ln_gamma(const Eigen::Ref<const Eigen::VectorXd>& x, double T, const Options& o,
                  Eigen::Ref<Eigen::VectorXd> out);
    // G^ex/(N R T) of the same function whose gradient ln_gamma is.
    double gex(const Eigen::Ref<const Eigen::VectorXd>& x, double T, const Options& o);
    // Molecule-molecule tau and alpha at T, n x n indexed [j, m] (j around m), zero off the
    // molecule pairs and on the diagonal.
    void molecule_tau(double T, Eigen::Ref<Eigen::MatrixXd> tau, Eigen::Ref<Eigen::MatrixXd> alpha);
    SolventMix solvent_mix(const Eigen::Ref<const Eigen::VectorXd>& x, double T);
    // ln gamma at the amounts x and T with its exact derivatives (second derivatives of F by
    // nested dual numbers, no differences): J(i, j) = d ln gamma_i / d x_j with the other
    // amounts held (n x n), dT(i) = d ln gamma_i / dT [1/K]. Arguments checked as ln_gamma's.
    // directions: the columns wanted (species indices; n for dT), the others left 0; all
    // without it.
    void ln_gamma_derivatives(const Eigen::Ref<const Eigen::VectorXd>& x, double T,
                              const Options& o, Eigen::Ref<Eigen::VectorXd> out,
                              Eigen::Ref<Eigen::MatrixXd> J, Eigen::Ref<Eigen::VectorXd> dT,
                              const std::vector<int>* directions = nullptr);

    // W ln gamma at x and T (Wlng, k entries) and its derivatives along the columns of V:
    // P = W (J V_x + dT V_T), V_x the first n rows of V (amounts), V_T its last (T). W is
    // k x n (1 <= k <= kMaxSpecies), V (n + 1) x L, P k x L. The gradient is k wide: a few
    // rows of W (e.g. the reactions, or one species) cost a fraction of all of J.
    void ln_gamma_directional_derivatives(const Eigen::Ref<const Eigen::VectorXd>& x, double T,
                                          const Options& o,
                                          const Eigen::Ref<const Eigen::MatrixXd>& W,
                                          const Eigen::Ref<const Eigen::MatrixXd>& V,
                                          Eigen::Ref<Eigen::VectorXd> Wlng,
                                          Eigen::Ref<Eigen::MatrixXd> P);

    // ln gamma at x and T with dP(i, k) = d ln gamma_i / d params[k] (n x params.size()), the
    // parameter entering the temperature functions as a tangent: exact, no differences.
    // std::invalid_argument for a parameter outside the model's pairs or an electrolyte alpha.
    void ln_gamma_parameter_derivatives(const Eigen::Ref<const Eigen::VectorXd>& x, double T,
                                        const Options& o, Eigen::Ref<Eigen::VectorXd> out,
                                        Eigen::Ref<Eigen::MatrixXd> dP,
                                        const std::vector<ParamDir>& params);

    // The gradient of F is taken by hand (and its derivatives by tangents over it, a pass costing
    // the same whatever the rows of W): false where the solvents are more than the long-range
    // terms' width holds (then by dual numbers over F).
    bool hand_ok() const { return d_.solvents.size() + 3 <= 8; }

    double density(int s, double T) const;     // solvent s (position in solvents), kg/m3
    double dielectric(int s, double T) const;  // relative permittivity

private:
    friend struct SecondOrder;  // derivatives.cpp: the same F in nested dual numbers
    struct TState {
        double T = -1.0;
        std::vector<double> rho, eps;  // per solvent
        double eps_w = 0.0;            // water
        double aphi_T = 0.0;  // (2 pi N_A)^1/2 L^3/2 / 3 of A_phi, L the Bjerrum length at eps 1
        double born_T = 0.0;  // L / 2 of the Born term
        std::vector<double> Gmm, tmm;  // M x M, [j*M + m]: j around m
        std::vector<double> alpha_mm;
        std::vector<double> tmca, tcam, alp, Gcam;  // (ci*A + ai)*M + mi
        std::vector<double> Ecell;                  // exp(-alpha (tau_m,ca - tau_ca,m)), same index
        // per ion slot (cations, then anions) and molecule, [p*M + mi]: the alpha of the mixing
        // rule where every pair it mixes has that alpha (sum_a Y_a alpha = alpha exactly), NaN
        // where they differ
        std::vector<double> alp_same;
        std::vector<double> W1, W2;  // the molecule-ion-pair term's W at T, (ci*A + ai)*M + mi
        std::vector<double> U;       // the ion triples' U at T
        std::vector<double> D;       // the dilute-weighted terms' D at T
    };
    const TState& at(double T);
    template <int K>
    double eval(const double* x, double T, const Options& o, double* grad);
    template <int K, class Q>
    Dual<K> lc(const TState& s, const Dual<K>* X, const Options& o, Q* q);
    template <class R>
    R lc_fixed(const TState& s, const HandCoefs<R>& c, const R* X, const Options& o, R* q, R* g);
    std::size_t lc_work() const { return 2 * n_ + 5 * (cats_.size() + ans_.size()) * mols_.size(); }
    // F and its gradient by hand (lc_fixed, triple_hand, the long-range terms in a few sums;
    // hand_ok). R = Tan<L>: the gradient's directional derivatives along the tangents of x and c.
    template <class R>
    R eval_hand(const TState& s, const HandCoefs<R>& c, const R* x, const Options& o,
                const HandWork<R>& w, R* grad);
    bool eval_fixed(const double* x, double T, const Options& o, double* grad, double& out);
    HandCoefs<double> coefs(const TState& s) const;
    template <class N>
    N triple_term(const TState& s, const N* n, const N& Nt) const;
    template <class R>
    R triple_hand(const HandCoefs<R>& c, const R* n, const R& Nt, R* g) const;

    void check_ion_triples() const;
    void check_dilute_terms() const;
    void check_size(Eigen::Index size, const char* what) const;
    void check_point(const Eigen::Ref<const Eigen::VectorXd>& x, double T) const;

    std::mutex mutex_;
    ModelData d_;
    int n_ = 0, water_ = -1, water_slot_ = -1;  // water: species index, molecule slot
    std::vector<int> mols_, cats_, ans_;
    std::vector<double> C_;  // |z| for ions, 1 for molecules
    // molecule pair coefficients, M x M, [j*M + m]
    std::vector<double> mA_, mB_, mF_, mG_, mC_, mD_;
    std::vector<double> eA_[2], eB_[2], eF_[2], eG_[2], eAlpha_;  // per (ci, ai, mi)
    std::vector<double> eW_[4];                                   // W1 A B, W2 A B per (ci, ai, mi)
    bool has_w_ = false;                                          // any of them not zero
    TState ts_;
    std::shared_ptr<SecondOrderStates> ts2_;  // the derivatives' states at their last T
    // Dual-number work arrays, one per gradient width, reused between calls.
    std::tuple<std::vector<Dual<4>>, std::vector<Dual<8>>, std::vector<Dual<10>>,
               std::vector<Dual<12>>, std::vector<Dual<16>>, std::vector<Dual<24>>,
               std::vector<Dual<32>>, std::vector<Dual<64>>>
        bufs_;
    std::vector<double> qbuf_;
    std::vector<Dual<8>> lrbuf_;  // the solvents' amounts of eval_fixed (by species)
};

}  // namespace enrtl
