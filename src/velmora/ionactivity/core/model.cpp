#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "correlations.hpp"
#include "dual.hpp"

namespace enrtl {

namespace {

using namespace phys;

// Sums of the local-composition term are linear in the seeded amounts X_i, whose gradient has
// the one entry i. With a constant coefficient (Q = double) the products below touch that entry
// alone: the same arithmetic as the full Dual operations on the entries that are not zero (the
// others would add products with exact zeros). With Q = Dual<K> the full operations.
// acc += (X * a) * b (b = 1.0 for acc += X * a)
template <int K>
void add_x(Dual<K>& acc, const Dual<K>& X, int i, double a) {
    acc.v += X.v * a;
    acc.d[i] += X.d[i] * a;
}
template <int K>
void add_x(Dual<K>& acc, const Dual<K>& X, int, const Dual<K>& a) {
    acc += X * a;
}
// X * a, kept as the value and the one gradient entry
template <int K>
struct Sparse {
    double v, d;
    int i;
};
template <int K>
Sparse<K> times(const Dual<K>& X, int i, double a) {
    return {X.v * a, X.d[i] * a, i};
}
// a * b for a with the one entry a.i: r.d[k] = a.d[k] b.v + a.v b.d[k]
template <int K>
Dual<K> operator*(const Sparse<K>& a, const Dual<K>& b) {
    Dual<K> r;
    r.v = a.v * b.v;
    for (int k = 0; k < K; ++k) r.d[k] = a.v * b.d[k];
    r.d[a.i] = a.d * b.v + a.v * b.d[a.i];
    return r;
}
template <int K>
void operator+=(Dual<K>& acc, const Sparse<K>& a) {
    acc.v += a.v;
    acc.d[a.i] += a.d;
}
template <int K>
Sparse<K> operator*(const Sparse<K>& a, double b) {
    return {a.v * b, a.d * b, a.i};
}

// Ion-free solvent mixture: molar mass Ms [kg/kmol], mass-weighted permittivity eps, specific
// volume vol [m3/kg], Debye-Hueckel slope A_phi = (1/3)(2 pi N_A / vol)^1/2 (L/eps)^3/2
// [(kg/mol)^1/2].
template <class N>
struct Mixture {
    N Ms, eps, vol, Aphi;
};

// The mixture of the amounts n (double, or Dual when differentiated); rho and eps_k are the
// solvents' densities and permittivities at T, aphi_T the factor of A_phi that depends on T alone
// (TState; numbers S, Tan where T carries tangents). Without solvent amounts: pure water.
template <class N, class S>
Mixture<N> solvent_mixture(const ModelData& d, int water, const S* rho, const S* eps_k, const N* n,
                           const S& aphi_T) {
    using std::pow;
    N ns(0.0);
    for (int k : d.solvents) ns += n[k];
    N Ms(0.0), eps(0.0), vol(0.0);
    for (std::size_t k = 0; k < d.solvents.size(); ++k) {
        const int i = d.solvents[k];
        const N sk = value(ns) > 0 ? N(n[i] / ns) : N(i == water ? 1.0 : 0.0);
        const N mk = sk * d.mw[i];  // mass per mole of solvent
        Ms += mk;
        eps += mk * eps_k[k];
        vol += mk * (1.0 / rho[k]);
    }
    eps = eps / Ms;
    vol = vol / Ms;
    const N Aphi = pow(vol, -0.5) * pow(eps, -1.5) * aphi_T;
    return {Ms, eps, vol, Aphi};
}

}  // namespace

namespace {

std::string species_at(int i) { return "species " + std::to_string(i); }

template <class E>
constexpr int code(E e) {
    return static_cast<int>(e);
}

}  // namespace

Model::Model(ModelData d) : d_(std::move(d)) {
    n_ = static_cast<int>(d_.kind.size());
    if (n_ == 0) throw std::invalid_argument("no species");
    if (n_ > kMaxSpecies)
        throw std::invalid_argument(std::to_string(n_) + " true species (at most " +
                                    std::to_string(kMaxSpecies) + ")");
    if ((int)d_.z.size() != n_ || (int)d_.mw.size() != n_ || (int)d_.born.size() != n_)
        throw std::invalid_argument("species data of unequal length: " + std::to_string(n_) +
                                    " kinds, " + std::to_string(d_.z.size()) + " charges, " +
                                    std::to_string(d_.mw.size()) + " molar masses, " +
                                    std::to_string(d_.born.size()) + " Born radii");
    if (d_.density.size() != d_.solvents.size() || d_.dielectric.size() != d_.solvents.size())
        throw std::invalid_argument(
            "solvent data of unequal length: " + std::to_string(d_.solvents.size()) +
            " solvents, " + std::to_string(d_.density.size()) + " densities, " +
            std::to_string(d_.dielectric.size()) + " permittivities");
    std::vector<int> slot(n_, -1);
    for (int i = 0; i < n_; ++i) {
        const Kind k = d_.kind[i];
        if (code(k) < code(Kind::Water) || code(k) > code(Kind::Ion))
            throw std::invalid_argument(species_at(i) + ": bad species kind " +
                                        std::to_string(code(k)));
        if (k == Kind::Water) {
            if (water_ >= 0)
                throw std::invalid_argument(species_at(i) + ": more than one water (also " +
                                            species_at(water_) + ")");
            water_ = i;
        }
        if (k == Kind::Ion) {
            if (d_.z[i] == 0)
                throw std::invalid_argument(species_at(i) + ": an ion without charge");
            if (!(d_.born[i] > 0))
                throw std::invalid_argument(species_at(i) + ": an ion with the Born radius " +
                                            std::to_string(d_.born[i]) + " m");
            auto& v = d_.z[i] > 0 ? cats_ : ans_;
            slot[i] = static_cast<int>(v.size());
            v.push_back(i);
        } else {
            slot[i] = static_cast<int>(mols_.size());
            if (k == Kind::Water) water_slot_ = slot[i];
            mols_.push_back(i);
        }
        C_.push_back(k == Kind::Ion ? std::abs(d_.z[i]) : 1.0);
    }
    if (water_ < 0) throw std::invalid_argument("no water");
    bool water_is_solvent = false;
    for (std::size_t s = 0; s < d_.solvents.size(); ++s) {
        const int i = d_.solvents[s];
        if (i < 0 || i >= n_ || d_.kind[i] == Kind::Ion || d_.kind[i] == Kind::Solute)
            throw std::invalid_argument(species_at(i) +
                                        " is given as a solvent but is not a solvent species");
        water_is_solvent |= (i == water_);
        const auto& den = d_.density[s];
        const auto& die = d_.dielectric[s];
        const bool ok_den = (den.form == code(DensityForm::Kell) && den.c.empty()) ||
                            (den.form == code(DensityForm::Dippr105) && den.c.size() == 4) ||
                            (den.form == code(DensityForm::Poly) && !den.c.empty());
        const bool ok_die =
            (die.form == code(DielectricForm::BradleyPitzer) && die.c.size() == 9) ||
            (die.form == code(DielectricForm::Poly) && !die.c.empty()) ||
            (die.form == code(DielectricForm::Recip) && die.c.size() == 3);
        if (!ok_den)
            throw std::invalid_argument("solvent " + species_at(i) + ": density form " +
                                        std::to_string(den.form) + " with " +
                                        std::to_string(den.c.size()) + " coefficients");
        if (!ok_die)
            throw std::invalid_argument("solvent " + species_at(i) + ": permittivity form " +
                                        std::to_string(die.form) + " with " +
                                        std::to_string(die.c.size()) + " coefficients");
    }
    if (!water_is_solvent) throw std::invalid_argument("water is not among the solvents");
    if (!cats_.empty() != !ans_.empty()) throw std::invalid_argument("ions of one sign only");

    const int M = static_cast<int>(mols_.size());
    for (auto* v : {&mA_, &mB_, &mF_, &mG_, &mC_, &mD_}) v->assign(M * M, 0.0);
    for (const auto& p : d_.mol_pairs) {
        if (p.i < 0 || p.i >= n_ || p.j < 0 || p.j >= n_ || d_.kind[p.i] == Kind::Ion ||
            d_.kind[p.j] == Kind::Ion || p.i == p.j)
            throw std::invalid_argument("bad molecule pair (" + std::to_string(p.i) + ", " +
                                        std::to_string(p.j) + ")");
        const int a = slot[p.i], b = slot[p.j];
        const int ab = a * M + b, ba = b * M + a;
        mA_[ab] = p.p[0];
        mA_[ba] = p.p[1];
        mB_[ab] = p.p[2];
        mB_[ba] = p.p[3];
        mF_[ab] = p.p[4];
        mF_[ba] = p.p[5];
        mG_[ab] = p.p[6];
        mG_[ba] = p.p[7];
        mC_[ab] = mC_[ba] = p.p[8];
        mD_[ab] = mD_[ba] = p.p[9];
    }
    const int Cn = static_cast<int>(cats_.size()), An = static_cast<int>(ans_.size());
    const std::size_t ne = static_cast<std::size_t>(Cn) * An * M;
    for (int r = 0; r < 2; ++r)
        for (auto* v : {&eA_[r], &eB_[r], &eF_[r], &eG_[r]}) v->assign(ne, 0.0);
    eAlpha_.assign(ne, 0.0);
    for (auto& v : eW_) v.assign(ne, 0.0);
    std::vector<char> given(ne, 0);  // the reader fills in the literature defaults
    for (const auto& p : d_.pairs) {
        const std::string which = "electrolyte pair (" + std::to_string(p.m) + ", " +
                                  std::to_string(p.c) + ", " + std::to_string(p.a) + ")";
        if (p.m < 0 || p.m >= n_ || p.c < 0 || p.c >= n_ || p.a < 0 || p.a >= n_ ||
            d_.kind[p.m] == Kind::Ion || d_.kind[p.c] != Kind::Ion || d_.z[p.c] <= 0 ||
            d_.kind[p.a] != Kind::Ion || d_.z[p.a] >= 0)
            throw std::invalid_argument("bad " + which);
        const std::size_t k =
            (static_cast<std::size_t>(slot[p.c]) * An + slot[p.a]) * M + slot[p.m];
        for (int r = 0; r < 2; ++r) {
            eA_[r][k] = p.p[4 * r];
            eB_[r][k] = p.p[4 * r + 1];
            eF_[r][k] = p.p[4 * r + 2];
            eG_[r][k] = p.p[4 * r + 3];
        }
        eAlpha_[k] = p.p[8];
        for (int r = 0; r < 4; ++r) {
            eW_[r][k] = p.p[9 + r];
            has_w_ |= p.p[9 + r] != 0.0;
        }
        given[k] = 1;
        if (!(p.p[8] > 0))
            throw std::invalid_argument(which + " with the non-positive alpha " +
                                        std::to_string(p.p[8]));
    }
    check_ion_triples();
    check_dilute_terms();
    for (std::size_t k = 0; k < ne; ++k)
        if (!given[k])
            throw std::invalid_argument("electrolyte pair parameters missing for (" +
                                        std::to_string(mols_[k % M]) + ", " +
                                        std::to_string(cats_[k / M / An]) + ", " +
                                        std::to_string(ans_[(k / M) % An]) + ")");
}

void Model::check_ion_triples() const {
    const auto& t = d_.ion_triples;
    for (std::size_t k = 0; k < t.size(); ++k) {
        const IonTriple& p = t[k];
        const std::string which = "ion triple (" + std::to_string(p.i) + ", " +
                                  std::to_string(p.j) + ", " + std::to_string(p.k) + ")";
        const auto ion = [&](int i) { return i >= 0 && i < n_ && d_.kind[i] == Kind::Ion; };
        if (!ion(p.i) || !ion(p.j) || !ion(p.k) || (d_.z[p.j] > 0) != (d_.z[p.k] > 0) ||
            (d_.z[p.i] > 0) == (d_.z[p.j] > 0))
            throw std::invalid_argument("bad " + which +
                                        ": a common ion and two ions of the other sign");
        for (std::size_t q = 0; q < k; ++q)
            if (t[q].i == p.i && std::min(t[q].j, t[q].k) == std::min(p.j, p.k) &&
                std::max(t[q].j, t[q].k) == std::max(p.j, p.k))
                throw std::invalid_argument(which + " given twice");
    }
}

void Model::check_dilute_terms() const {
    const auto& t = d_.dilute_terms;
    const auto ion = [&](int i) { return i >= 0 && i < n_ && d_.kind[i] == Kind::Ion; };
    for (std::size_t k = 0; k < t.size(); ++k) {
        const DiluteTerm& p = t[k];
        const bool pair = p.a >= 0;
        const std::string which = std::string(pair ? "dilute pair term (" : "dilute term (") +
                                  std::to_string(p.m) + ", " + std::to_string(p.c) +
                                  (pair ? ", " + std::to_string(p.a) : "") + ")";
        // the molecule's amount is one of the long-range terms' sums (a solvent)
        const bool solvent =
            std::find(d_.solvents.begin(), d_.solvents.end(), p.m) != d_.solvents.end();
        if (!pair && (!solvent || !ion(p.c)))
            throw std::invalid_argument("bad " + which + ": a solvent and an ion");
        if (pair && (!solvent || !ion(p.c) || d_.z[p.c] <= 0 || !ion(p.a) || d_.z[p.a] >= 0))
            throw std::invalid_argument("bad " + which + ": a solvent, a cation and an anion");
        for (std::size_t q = 0; q < k; ++q)
            if (t[q].m == p.m && t[q].c == p.c && t[q].a == p.a)
                throw std::invalid_argument(which + " given twice");
    }
}

double Model::density(int s, double T) const {
    const auto& c = d_.density[s];
    return density_of(c.form, c.c, d_.mw[d_.solvents[s]], T);
}

double Model::dielectric(int s, double T) const {
    const auto& c = d_.dielectric[s];
    return dielectric_of(c.form, c.c, T);
}

const Model::TState& Model::at(double T) {
    if (ts_.T == T) return ts_;
    TState& s = ts_;
    const std::size_t S = d_.solvents.size();
    s.rho.resize(S);
    s.eps.resize(S);
    for (std::size_t k = 0; k < S; ++k) {
        s.rho[k] = density(static_cast<int>(k), T);
        s.eps[k] = dielectric(static_cast<int>(k), T);
        if (d_.solvents[k] == water_) s.eps_w = s.eps[k];
    }
    s.aphi_T = std::sqrt(2.0 * kPi * kNA) * std::pow(bjerrum(T), 1.5) / 3.0;
    s.born_T = 0.5 * bjerrum(T);
    const double lnT = std::log(T);
    const std::size_t M = mols_.size();
    s.Gmm.assign(M * M, 1.0);
    s.tmm.assign(M * M, 0.0);
    s.alpha_mm.assign(M * M, 0.0);
    for (std::size_t k = 0; k < M * M; ++k) {
        if (k / M == k % M) continue;
        s.tmm[k] = tdep(mA_[k], mB_[k], mF_[k], mG_[k], T, lnT);
        s.alpha_mm[k] = mC_[k] + mD_[k] * (T - 273.15);
        s.Gmm[k] = std::exp(-s.alpha_mm[k] * s.tmm[k]);
    }
    const std::size_t ne = eAlpha_.size();
    s.tmca.resize(ne);
    s.tcam.resize(ne);
    s.alp.resize(ne);
    s.Gcam.resize(ne);
    s.Ecell.resize(ne);
    // Default parameters repeat over the ion pairs of a molecule: an exponential of the argument
    // the molecule's previous pair had is that pair's value (k = pair * M + mi).
    for (std::size_t k = 0; k < ne; ++k) {
        s.tmca[k] = tdep(eA_[0][k], eB_[0][k], eF_[0][k], eG_[0][k], T, lnT);
        s.tcam[k] = tdep(eA_[1][k], eB_[1][k], eF_[1][k], eG_[1][k], T, lnT);
        s.alp[k] = eAlpha_[k];
        const double ag = -s.alp[k] * s.tcam[k], ae = -s.alp[k] * (s.tmca[k] - s.tcam[k]);
        const std::size_t prev = k - M;  // the same molecule in the previous pair
        const bool again = k >= M && -s.alp[prev] * s.tcam[prev] == ag &&
                           -s.alp[prev] * (s.tmca[prev] - s.tcam[prev]) == ae;
        s.Gcam[k] = again ? s.Gcam[prev] : std::exp(ag);
        s.Ecell[k] = again ? s.Ecell[prev] : std::exp(ae);
    }
    if (has_w_) {
        s.W1.resize(ne);
        s.W2.resize(ne);
        for (std::size_t k = 0; k < ne; ++k) {
            s.W1[k] = eW_[0][k] + eW_[1][k] / T;
            s.W2[k] = eW_[2][k] + eW_[3][k] / T;
        }
    }
    s.U.resize(d_.ion_triples.size());
    for (std::size_t k = 0; k < s.U.size(); ++k)
        s.U[k] = d_.ion_triples[k].p[0] + d_.ion_triples[k].p[1] / T;
    s.D.resize(d_.dilute_terms.size());
    for (std::size_t k = 0; k < s.D.size(); ++k)
        s.D[k] = d_.dilute_terms[k].p[0] + d_.dilute_terms[k].p[1] / T;
    const std::size_t Cn = cats_.size(), An = ans_.size();
    s.alp_same.assign((Cn + An) * M, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t p = 0; p < Cn + An; ++p)
        for (std::size_t mi = 0; mi < M; ++mi) {
            const bool cation = p < Cn;
            const std::size_t others = cation ? An : Cn;
            if (others == 0) continue;
            auto k_of = [&](std::size_t o) {
                return ((cation ? p : o) * An + (cation ? o : p - Cn)) * M + mi;
            };
            const double a0 = s.alp[k_of(0)];
            bool same = true;
            for (std::size_t o = 1; o < others; ++o) same = same && s.alp[k_of(o)] == a0;
            if (same) s.alp_same[p * M + mi] = a0;
        }
    s.T = T;
    return s;
}

// Local-composition part of F (minus the ions' reference Phi for lc_ref "water-ratio").
// Q is the number type of the ion fractions Y and the mixing rules: double when Y is held
// fixed (then they are constants of the call), Dual<K> when Y is differentiated.
template <int K, class Q>
Dual<K> Model::lc(const TState& s, const Dual<K>* X, const Options& o, Q* q) {
    using D = Dual<K>;
    using std::exp;
    using std::log;
    const int M = static_cast<int>(mols_.size());
    const int Cn = static_cast<int>(cats_.size()), An = static_cast<int>(ans_.size());
    const int NI = Cn + An;
    Q* Y = q;             // ion fractions within the cations or the anions, by species
    Q* Gi = Y + n_;       // per ion slot (cations, then anions) and molecule: G_cm, G_am
    Q* ti = Gi + NI * M;  // tau_cm, tau_am

    D SXc(0.0), SXa(0.0);
    for (int c : cats_) SXc += Sparse<K>{X[c].v, X[c].d[c], c};
    for (int a : ans_) SXa += Sparse<K>{X[a].v, X[a].d[a], a};
    auto fractions = [&](const std::vector<int>& ions, const D& sum) {
        for (int i : ions) {
            if (!(sum.v > 0))
                Y[i] = Q(1.0 / ions.size());
            else if constexpr (std::is_same_v<Q, double>)
                Y[i] = X[i].v / sum.v;
            else
                Y[i] = X[i] / sum;
        }
    };
    fractions(cats_, SXc);
    fractions(ans_, SXa);

    // Ion-molecule mixing rules: G_cm = sum_a Y_a G_ca,m, alpha_cm likewise, tau_cm = -ln
    // G_cm/alpha_cm.
    for (int ci = 0; ci < Cn; ++ci)
        for (int mi = 0; mi < M; ++mi) {
            Q G(0.0), al(0.0);
            for (int ai = 0; ai < An; ++ai) {
                const std::size_t k = (static_cast<std::size_t>(ci) * An + ai) * M + mi;
                G += Y[ans_[ai]] * s.Gcam[k];
                al += Y[ans_[ai]] * s.alp[k];
            }
            if (!std::isnan(s.alp_same[ci * M + mi])) al = Q(s.alp_same[ci * M + mi]);
            Gi[ci * M + mi] = G;
            ti[ci * M + mi] = -log(G) / al;
        }
    for (int ai = 0; ai < An; ++ai)
        for (int mi = 0; mi < M; ++mi) {
            Q G(0.0), al(0.0);
            for (int ci = 0; ci < Cn; ++ci) {
                const std::size_t k = (static_cast<std::size_t>(ci) * An + ai) * M + mi;
                G += Y[cats_[ci]] * s.Gcam[k];
                al += Y[cats_[ci]] * s.alp[k];
            }
            if (!std::isnan(s.alp_same[(Cn + ai) * M + mi])) al = Q(s.alp_same[(Cn + ai) * M + mi]);
            Gi[(Cn + ai) * M + mi] = G;
            ti[(Cn + ai) * M + mi] = -log(G) / al;
        }

    D F(0.0);
    // Molecule-centred cells: every other species around molecule m.
    for (int mi = 0; mi < M; ++mi) {
        D num(0.0), den(0.0);
        for (int mj = 0; mj < M; ++mj) {
            const int j = mols_[mj];
            const double g = s.Gmm[mj * M + mi];
            add_x(num, X[j], j, g * s.tmm[mj * M + mi]);
            add_x(den, X[j], j, g);
        }
        for (int p = 0; p < NI; ++p) {
            const int ion = p < Cn ? cats_[p] : ans_[p - Cn];
            if constexpr (std::is_same_v<Q, double>) {
                const Sparse<K> xg = times(X[ion], ion, Gi[p * M + mi]);
                num += xg * ti[p * M + mi];
                den += xg;
            } else {
                const D xg = X[ion] * Gi[p * M + mi];
                num += xg * ti[p * M + mi];
                den += xg;
            }
        }
        const int m = mols_[mi];
        F += times(X[m], m, 1.0) * num / den;
    }
    // Ion-centred cells, e.g. cation c with anion a' (like ions excluded): molecules and anions
    // around c; tau_mc,a'c = tau_cm - tau_ca',m + tau_m,ca', tau_ac,a'c = 0. Phi collects the
    // limit of the ions' derivatives at infinite dilution in water (their reference).
    const bool ref = o.lc_ref == LcRef::WaterRatio;
    D Phi(0.0);
    const int wi = water_slot_;
    for (int side = 0; side < 2; ++side) {
        const int P = side == 0 ? Cn : An, R = side == 0 ? An : Cn;
        const D& others = side == 0 ? SXa : SXc;
        for (int p = 0; p < P; ++p) {
            const int centre = side == 0 ? cats_[p] : ans_[p];
            const int pslot = side == 0 ? p : Cn + p;
            for (int r = 0; r < R; ++r) {
                const int partner = side == 0 ? ans_[r] : cats_[r];
                const int ci = side == 0 ? p : r, ai = side == 0 ? r : p;
                const std::size_t k0 = (static_cast<std::size_t>(ci) * An + ai) * M;
                D num(0.0), den = others;
                Q tw(0.0);
                for (int mi = 0; mi < M; ++mi) {
                    const std::size_t k = k0 + mi;
                    const Q t = ti[pslot * M + mi] + (s.tmca[k] - s.tcam[k]);
                    const int j = mols_[mi];
                    if constexpr (std::is_same_v<Q, double>) {
                        const Sparse<K> xg = times(X[j], j, std::exp(t * (-s.alp[k])));
                        num += xg * t;
                        den += xg;
                    } else {
                        const D xg = X[j] * exp(t * (-s.alp[k]));
                        num += xg * t;
                        den += xg;
                    }
                    if (mi == wi) tw = t;
                }
                if constexpr (std::is_same_v<Q, double>) {
                    const Sparse<K> w = times(X[centre], centre, Y[partner]);
                    if (den.v > 0) F += w * num / den;
                    if (ref) Phi += w * tw;
                } else {
                    const D w = X[centre] * Y[partner];
                    if (den.v > 0) F += w * num / den;
                    if (ref) Phi += w * tw;
                }
            }
            if (ref) add_x(Phi, X[centre], centre, Gi[pslot * M + wi] * ti[pslot * M + wi]);
        }
    }
    if (ref) F -= Phi;
    return F;
}

// The molecule-ion-pair term F_W = sum_{m,c,a} n_m n_c n_a / N^2 (W1 + W2 (n_c + n_a) / N), a
// Margules-type short-range term of n G^ex/RT, homogeneous of degree one, with ln gamma_i^inf = 0
// for every ion (each product holds n_c n_a), so the ions' reference state is unchanged. Here in
// Dual numbers, the result carrying the gradient; triple_hand adds it to g by hand. Zero without
// the term (has_w_ false).
template <class N>
N Model::triple_term(const TState& s, const N* n, const N& Nt) const {
    N F(0.0);
    if (!has_w_) return F;
    const int M = static_cast<int>(mols_.size());
    const int An = static_cast<int>(ans_.size());
    for (std::size_t k = 0; k < s.W1.size(); ++k) {
        const double w1 = s.W1[k], w2 = s.W2[k];
        if (w1 == 0.0 && w2 == 0.0) continue;
        const int mi = static_cast<int>(k % M), pair = static_cast<int>(k / M);
        const int m = mols_[mi], c = cats_[pair / An], a = ans_[pair % An];
        F += n[m] * n[c] * n[a] / (Nt * Nt) * (w1 + w2 * (n[c] + n[a]) / Nt);
    }
    return F;
}

template <class R>
R Model::triple_hand(const HandCoefs<R>& cf, const R* n, const R& Nt, R* g) const {
    R F(0.0);
    if (!cf.W1) return F;
    const int M = static_cast<int>(mols_.size());
    const int An = static_cast<int>(ans_.size());
    const std::size_t ne = eAlpha_.size();
    R dN(0.0);  // dF/dN at fixed amounts, added to every species
    for (std::size_t k = 0; k < ne; ++k) {
        const R &w1 = cf.W1[k], &w2 = cf.W2[k];
        if (is_zero(w1) && is_zero(w2)) continue;  // absent, or no tangent on it
        const int mi = static_cast<int>(k % M), pair = static_cast<int>(k / M);
        const int m = mols_[mi], c = cats_[pair / An], a = ans_[pair % An];
        const R iN = 1.0 / Nt, iN2 = iN * iN, S = n[c] + n[a];
        const R P = n[m] * n[c] * n[a];
        const R u = P * iN2, v = P * S * iN2 * iN;
        F += w1 * u + w2 * v;
        dN -= (2.0 * w1 * u + 3.0 * w2 * v) * iN;
        const R ca = n[c] * n[a] * iN2, t = w1 + w2 * S * iN;
        g[m] += ca * t;
        g[c] += n[m] * n[a] * iN2 * t + w2 * P * iN2 * iN;
        g[a] += n[m] * n[c] * iN2 * t + w2 * P * iN2 * iN;
    }
    for (int i = 0; i < n_; ++i) g[i] += dN;
    return F;
}

// The local-composition part of F (as lc) and its gradient g = dF/dX by hand. With the ion
// fractions Y held (option fixed_Y) every cell is w num/den, w = X_centre (times Y_partner for an
// ion-centred cell) and num, den linear in X, so a cell adds r = num/den (times Y_partner) to its
// centre and w (a_j - r b_j) / den to each X_j of its sums (a_j, b_j: X_j's coefficients in num
// and den). With Y free (fixed_Y false) F also depends on X through Y = X / (sum over the ions of
// that charge): the cells' adjoints in the mixed G and tau of each ion slot (bG, bT) and in Y
// directly (bY, from the weights w) are carried back through the mixing rules to dF/dY, then
// dF/dX_j += (dF/dY_j - sum_i Y_i dF/dY_i) / sum. The same function as lc<K, Dual<K>> without the
// K derivative entries each operation carries there. R = Tan<L>: every step in tangents too, so
// g carries its own directional derivatives (held Y then move with X along the tangents, as the
// dual-number form holds them). q: lc_work() entries; g: n_ entries.
template <class R>
R Model::lc_fixed(const TState& s, const HandCoefs<R>& cf, const R* X, const Options& o, R* q,
                  R* g) {
    using std::exp;
    using std::log;
    constexpr bool plain = std::is_same_v<R, double>;
    const int M = static_cast<int>(mols_.size());
    const int Cn = static_cast<int>(cats_.size()), An = static_cast<int>(ans_.size());
    const int NI = Cn + An;
    R* Y = q;
    R* Gi = Y + n_;
    R* ti = Gi + NI * M;
    R* amix = ti + NI * M;  // the mixed alpha of each ion slot and molecule
    R* bG = amix + NI * M;  // free Y: dF/dG and dF/dtau per ion slot, molecule
    R* bT = bG + NI * M;
    R* bY = bT + NI * M;               // free Y: dF/dY through the ion-centred cells' weights
    R e[kMaxSpecies], t[kMaxSpecies];  // a cell's exp(-alpha tau) and tau per molecule
    const bool free_Y = !o.fixed_Y;
    for (int i = 0; i < n_; ++i) g[i] = R(0.0);
    if (free_Y) std::fill(bG, bY + n_, R(0.0));

    R SXc(0.0), SXa(0.0);
    for (int c : cats_) SXc += X[c];
    for (int a : ans_) SXa += X[a];
    auto fractions = [&](const std::vector<int>& ions, const R& sum) {
        for (int i : ions) Y[i] = value(sum) > 0 ? R(X[i] / sum) : R(1.0 / ions.size());
    };
    fractions(cats_, SXc);
    fractions(ans_, SXa);
    // mixing rules, as lc: ion slot p (the cations, then the anions) with molecule mi, over the
    // ions of the other charge
    for (int p = 0; p < NI; ++p) {
        const bool cation = p < Cn;
        const std::vector<int>& over = cation ? ans_ : cats_;
        for (int mi = 0; mi < M; ++mi) {
            const double same = s.alp_same[p * M + mi];
            const bool mixed = std::isnan(same);  // else sum_a Y_a alpha = alpha, not summed
            R G(0.0), al(mixed ? 0.0 : same);
            for (int o = 0; o < static_cast<int>(over.size()); ++o) {
                const int ci = cation ? p : o, ai = cation ? o : p - Cn;
                const std::size_t k = (static_cast<std::size_t>(ci) * An + ai) * M + mi;
                G += Y[over[o]] * cf.Gcam[k];
                if (mixed) al += Y[over[o]] * s.alp[k];
            }
            Gi[p * M + mi] = G;
            ti[p * M + mi] = -log(G) / al;
            amix[p * M + mi] = al;
        }
    }

    R F(0.0);
    auto ion_at = [&](int p) { return p < Cn ? cats_[p] : ans_[p - Cn]; };
    // Molecule-centred cells.
    for (int mi = 0; mi < M; ++mi) {
        R num(0.0), den(0.0);
        for (int mj = 0; mj < M; ++mj) {
            const int j = mols_[mj];
            const R& gg = cf.Gmm[mj * M + mi];
            num += X[j] * (gg * cf.tmm[mj * M + mi]);
            den += X[j] * gg;
        }
        for (int p = 0; p < NI; ++p) {
            const R xg = X[ion_at(p)] * Gi[p * M + mi];
            num += xg * ti[p * M + mi];
            den += xg;
        }
        const int m = mols_[mi];
        const R r = num / den, f = X[m] / den;
        F += X[m] * num / den;
        g[m] += r;
        for (int mj = 0; mj < M; ++mj)
            g[mols_[mj]] += f * cf.Gmm[mj * M + mi] * (cf.tmm[mj * M + mi] - r);
        for (int p = 0; p < NI; ++p) g[ion_at(p)] += f * Gi[p * M + mi] * (ti[p * M + mi] - r);
        if (free_Y)
            for (int p = 0; p < NI; ++p) {
                const R fx = f * X[ion_at(p)];
                bG[p * M + mi] += fx * (ti[p * M + mi] - r);
                bT[p * M + mi] += fx * Gi[p * M + mi];
            }
    }
    // Ion-centred cells and the ions' reference Phi, as lc; F - Phi.
    const bool ref = o.lc_ref == LcRef::WaterRatio;
    R Phi(0.0);
    const int wi = water_slot_;
    for (int side = 0; side < 2; ++side) {
        const int P = side == 0 ? Cn : An, Rn = side == 0 ? An : Cn;
        const R& others = side == 0 ? SXa : SXc;
        const std::vector<int>& other_ions = side == 0 ? ans_ : cats_;
        for (int p = 0; p < P; ++p) {
            const int centre = side == 0 ? cats_[p] : ans_[p];
            const int pslot = side == 0 ? p : Cn + p;
            for (int r = 0; r < Rn; ++r) {
                const int partner = side == 0 ? ans_[r] : cats_[r];
                const int ci = side == 0 ? p : r, ai = side == 0 ? r : p;
                const std::size_t k0 = (static_cast<std::size_t>(ci) * An + ai) * M;
                R num(0.0), den = others, tw(0.0);
                for (int mi = 0; mi < M; ++mi) {
                    const std::size_t k = k0 + mi, slot = pslot * M + mi;
                    t[mi] = ti[slot] + (cf.tmca[k] - cf.tcam[k]);
                    // exp(-alpha t) = exp(-alpha ti) exp(-alpha (tmca - tcam)), the first
                    // G^(alpha / the slot's mixed alpha): G itself where they are equal (as all
                    // alphas are in most parameter sets; with tangents where the slot's alphas
                    // are all one, its mixed alpha then a constant), the second one per T
                    const bool same =
                        plain ? s.alp[k] == value(amix[slot]) : !std::isnan(s.alp_same[slot]);
                    e[mi] = (same ? Gi[slot] : R(exp(ti[slot] * (-s.alp[k])))) * cf.Ecell[k];
                    const R xg = X[mols_[mi]] * e[mi];
                    num += xg * t[mi];
                    den += xg;
                    if (mi == wi) tw = t[mi];
                }
                const R w = X[centre] * Y[partner];
                if (value(den) > 0) {
                    const R rr = num / den, f = w / den;
                    F += w * num / den;
                    g[centre] += Y[partner] * rr;
                    for (int mi = 0; mi < M; ++mi) g[mols_[mi]] += f * e[mi] * (t[mi] - rr);
                    for (int i : other_ions) g[i] -= f * rr;
                    if (free_Y) {
                        // t = tau_slot + const, e = exp(-alpha t) E: d/dtau_slot of X e t / den
                        bY[partner] += X[centre] * rr;
                        for (int mi = 0; mi < M; ++mi)
                            bT[pslot * M + mi] +=
                                f * X[mols_[mi]] * e[mi] * (1.0 - s.alp[k0 + mi] * (t[mi] - rr));
                    }
                }
                if (ref) {
                    Phi += w * tw;
                    g[centre] -= Y[partner] * tw;
                    if (free_Y) {
                        bY[partner] -= X[centre] * tw;
                        bT[pslot * M + wi] -= w;
                    }
                }
            }
            if (ref) {
                const R gt = Gi[pslot * M + wi] * ti[pslot * M + wi];
                Phi += X[centre] * gt;
                g[centre] -= gt;
                if (free_Y) {
                    bG[pslot * M + wi] -= X[centre] * ti[pslot * M + wi];
                    bT[pslot * M + wi] -= X[centre] * Gi[pslot * M + wi];
                }
            }
        }
    }
    if (ref) F -= Phi;
    if (free_Y) {
        // the mixing rules: G = sum_o Y_o G_k, alpha = sum_o Y_o alpha_k (or one alpha), tau =
        // -ln G / alpha, so dtau = -dG / (G alpha) - tau dalpha / alpha
        for (int p = 0; p < NI; ++p) {
            const bool cation = p < Cn;
            const std::vector<int>& over = cation ? ans_ : cats_;
            for (int mi = 0; mi < M; ++mi) {
                const int slot = p * M + mi;
                const R& al = amix[slot];
                const R dG = bG[slot] - bT[slot] / (Gi[slot] * al);
                const R dA = std::isnan(s.alp_same[slot]) ? R(-bT[slot] * ti[slot] / al) : R(0.0);
                for (int o2 = 0; o2 < static_cast<int>(over.size()); ++o2) {
                    const int ci = cation ? p : o2, ai = cation ? o2 : p - Cn;
                    const std::size_t k = (static_cast<std::size_t>(ci) * An + ai) * M + mi;
                    bY[over[o2]] += dG * cf.Gcam[k] + dA * s.alp[k];
                }
            }
        }
        // Y_i = X_i / S within its charge group (constant where S = 0)
        auto to_x = [&](const std::vector<int>& ions, const R& S) {
            if (!(value(S) > 0)) return;
            R mean(0.0);
            for (int i : ions) mean += Y[i] * bY[i];
            for (int i : ions) g[i] += (bY[i] - mean) / S;
        };
        to_x(cats_, SXc);
        to_x(ans_, SXa);
    }
    return F;
}

// F(n) = n G^ex/RT = F_lc - Phi + F_PDH + F_Born and its gradient (ln gamma) by hand, the ion
// fractions held or free (option fixed_Y): the local-composition term by lc_fixed, the long-range
// terms as functions of a few sums of the amounts, N, sum z^2 n / 2 and sum z^2 n / r over the
// ions and the solvents' amounts, differentiated in those (Dual<8, R>) and carried to the species
// by the chain rule (hand_ok: the solvents fit that width). Returns F (not F/N).
template <class R>
R Model::eval_hand(const TState& s, const HandCoefs<R>& cf, const R* x, const Options& o,
                   const HandWork<R>& wk, R* grad) {
    using D = Dual<8, R>;
    constexpr int kSums = 3;  // N, sum z^2 n / 2, sum z^2 n / r
    const int nsolv = static_cast<int>(d_.solvents.size());
    const std::size_t NI = cats_.size() + ans_.size();
    R* X = wk.X;  // C_i n_i
    R* g = wk.g;  // dF/dn
    R N(0.0);
    for (int i = 0; i < n_; ++i) {
        X[i] = C_[i] * x[i];
        N += x[i];
    }
    R Flc = lc_fixed(s, cf, X, o, wk.q, g);
    for (int i = 0; i < n_; ++i) g[i] *= C_[i];  // dX_i/dn_i = C_i
    Flc += triple_hand(cf, x, N, g);
    Flc += ion_mixing_hand(d_.ion_triples, cf.U, x, N, n_, g);
    if (NI == 0) {
        if (grad) std::copy(g, g + n_, grad);
        return Flc;
    }
    R Iv(0.0), qv(0.0);
    for (int i = 0; i < n_; ++i) {
        if (d_.kind[i] != Kind::Ion) continue;
        const double z2 = double(d_.z[i]) * d_.z[i];
        Iv += x[i] * (0.5 * z2);
        qv += x[i] * (z2 / d_.born[i]);
    }
    for (int k = 0; k < nsolv; ++k) {
        const int i = d_.solvents[k];
        wk.lr[i] = D::seed(x[i], kSums + k);
    }
    const D Nd = D::seed(N, 0), q = D::seed(qv, 2);
    const Mixture<D> mix = solvent_mixture(d_, water_, cf.rho, cf.eps, wk.lr, cf.aphi_T);
    const D I = D::seed(Iv, 1) / Nd;
    D F(Flc);
    if (value(I) > 0) {
        const D sq = sqrt(I);
        F += -(Nd * sqrt(1000.0 / mix.Ms)) * mix.Aphi * I * log(1.0 + kRho * sq) * (4.0 / kRho);
    }
    F += (1.0 / mix.eps - 1.0 / cf.eps_w) * q * cf.born_T;
    // D n_m n_c n_a / N^2 g (a = c: like-ion): n_m (a solvent), N and I in the sums, the ions
    // by hand
    if (cf.D && !d_.dilute_terms.empty()) {
        const D wN2 =
            (value(I) > 0 ? dilute_weight(D(sqrt(I) * kDiluteKappa)) : D(1.0)) / (Nd * Nd);
        const auto& t = d_.dilute_terms;
        for (std::size_t k = 0; k < t.size(); ++k) {
            if (is_zero(cf.D[k])) continue;
            const int c = t[k].c, a = t[k].other();
            const D A = wk.lr[t[k].m] * wN2 * cf.D[k];
            F += A * (x[c] * x[a]);
            if (a == c) {
                g[c] += 2.0 * x[c] * A.v;
            } else {
                g[c] += x[a] * A.v;
                g[a] += x[c] * A.v;
            }
        }
    }
    if (grad) {
        for (int i = 0; i < n_; ++i) {
            R v = g[i] + F.d[0];
            if (d_.kind[i] == Kind::Ion) {
                const double z2 = double(d_.z[i]) * d_.z[i];
                v += 0.5 * z2 * F.d[1] + z2 / d_.born[i] * F.d[2];
            }
            grad[i] = v;
        }
        for (int k = 0; k < nsolv; ++k) grad[d_.solvents[k]] += F.d[kSums + k];
    }
    return F.v;
}

bool Model::eval_fixed(const double* x, double T, const Options& o, double* grad, double& out) {
    if (!hand_ok()) return false;
    const TState& s = at(T);
    const std::size_t nq = lc_work();
    if (qbuf_.size() < nq + 2 * static_cast<std::size_t>(n_)) qbuf_.resize(nq + 2 * n_);
    if (lrbuf_.size() < static_cast<std::size_t>(n_)) lrbuf_.resize(n_);
    double* X = qbuf_.data() + nq;
    const HandWork<double> wk{qbuf_.data(), X, X + n_, lrbuf_.data()};
    double N = 0.0;
    for (int i = 0; i < n_; ++i) N += x[i];
    out = eval_hand(s, coefs(s), x, o, wk, grad) / N;
    return true;
}

HandCoefs<double> Model::coefs(const TState& s) const {
    return {s.rho.data(),
            s.eps.data(),
            s.Gmm.data(),
            s.tmm.data(),
            s.tmca.data(),
            s.tcam.data(),
            s.Gcam.data(),
            s.Ecell.data(),
            has_w_ ? s.W1.data() : nullptr,
            has_w_ ? s.W2.data() : nullptr,
            s.eps_w,
            s.aphi_T,
            s.born_T,
            d_.ion_triples.empty() ? nullptr : s.U.data(),
            d_.dilute_terms.empty() ? nullptr : s.D.data()};
}

template <int K>
double Model::eval(const double* x, double T, const Options& o, double* grad) {
    using D = Dual<K>;
    if (double F; eval_fixed(x, T, o, grad, F)) return F;
    const TState& s = at(T);
    const std::size_t NI = cats_.size() + ans_.size();
    const std::size_t nq = static_cast<std::size_t>(n_) + 2 * NI * mols_.size();

    auto& buf = std::get<std::vector<D>>(bufs_);
    const std::size_t need = 2 * static_cast<std::size_t>(n_) + nq;
    if (buf.size() < need) buf.resize(need);
    D* nd = buf.data();  // amounts
    D* X = nd + n_;      // C_i n_i

    D N(0.0);
    for (int i = 0; i < n_; ++i) {
        nd[i] = D::seed(x[i], i);
        X[i] = D::seed(C_[i] * x[i], i, C_[i]);
        N.v += x[i];
        N.d[i] = 1.0;
    }

    D F;
    if (o.fixed_Y) {
        const std::size_t nqf = nq + n_ + 3 * NI * mols_.size();  // lc_fixed's work
        if (qbuf_.size() < nqf + 2 * static_cast<std::size_t>(n_)) qbuf_.resize(nqf + 2 * n_);
        double* xs = qbuf_.data() + nqf;  // X as numbers
        double* g = xs + n_;              // dF/dX
        for (int i = 0; i < n_; ++i) xs[i] = X[i].v;
        F = D(lc_fixed(s, coefs(s), xs, o, qbuf_.data(), g));
        for (int i = 0; i < n_; ++i) F.d[i] = g[i] * C_[i];  // dX_i/dn_i = C_i
    } else {
        F = lc<K, D>(s, X, o, X + n_);
    }
    F += triple_term<D>(s, nd, N);
    F += ion_mixing(d_.ion_triples, s.U.data(), nd, N);

    // ---- long-range terms in the solvent mixture ---------------------------------------
    if (NI > 0) {
        const Mixture<D> mix =
            solvent_mixture(d_, water_, s.rho.data(), s.eps.data(), nd, s.aphi_T);
        D I(0.0), q(0.0);
        for (int i = 0; i < n_; ++i) {
            if (d_.kind[i] != Kind::Ion) continue;
            const double z2 = double(d_.z[i]) * d_.z[i];
            add_x(I, nd[i], i, 0.5 * z2);
            add_x(q, nd[i], i, z2 / d_.born[i]);
        }
        I = I / N;
        if (I.v > 0) {
            const D sq = sqrt(I);
            F += -(N * sqrt(1000.0 / mix.Ms)) * mix.Aphi * I * log(1.0 + kRho * sq) * (4.0 / kRho);
        }
        // Born: moves the ions from infinite dilution in water to the solvent mixture.
        F += (1.0 / mix.eps - 1.0 / s.eps_w) * q * s.born_T;
        F += dilute_weighted(d_.dilute_terms, s.D.data(), nd, N, I);
    }

    if (grad)
        for (int i = 0; i < n_; ++i) grad[i] = F.d[i];
    return F.v / N.v;
}

namespace {
template <class Fn>
double dispatch(int n, Fn&& f) {
    if (n <= 4) return f(std::integral_constant<int, 4>{});
    if (n <= 8) return f(std::integral_constant<int, 8>{});
    if (n <= 10) return f(std::integral_constant<int, 10>{});
    if (n <= 12) return f(std::integral_constant<int, 12>{});
    if (n <= 16) return f(std::integral_constant<int, 16>{});
    if (n <= 24) return f(std::integral_constant<int, 24>{});
    if (n <= 32) return f(std::integral_constant<int, 32>{});
    return f(std::integral_constant<int, 64>{});
}

void check_T(double T) {
    if (!(T > 0) || !std::isfinite(T))
        throw std::invalid_argument("temperature must be a positive number of kelvin");
}

void check(const double* x, int n, double T) {
    check_T(T);
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(x[i]))
            throw std::invalid_argument("mole fractions must be finite numbers");
        sum += x[i];
    }
    if (!(sum > 0)) throw std::invalid_argument("mole fractions must have a positive sum");
}
}  // namespace

void Model::check_size(Eigen::Index size, const char* what) const {
    if (size != n_)
        throw std::invalid_argument(std::string(what) + " must be a vector of " +
                                    std::to_string(n_) + " mole fractions");
}

void Model::check_point(const Eigen::Ref<const Eigen::VectorXd>& x, double T) const {
    check_size(x.size(), "x");
    check(x.data(), n_, T);
}

void Model::ln_gamma(const Eigen::Ref<const Eigen::VectorXd>& x, double T, const Options& o,
                     Eigen::Ref<Eigen::VectorXd> out) {
    check_size(x.size(), "x");
    check_size(out.size(), "out");
    check(x.data(), n_, T);
    std::lock_guard<std::mutex> lock(mutex_);
    dispatch(n_, [&](auto k) { return eval<decltype(k)::value>(x.data(), T, o, out.data()); });
}

double Model::gex(const Eigen::Ref<const Eigen::VectorXd>& x, double T, const Options& o) {
    check_size(x.size(), "x");
    check(x.data(), n_, T);
    std::lock_guard<std::mutex> lock(mutex_);
    return dispatch(n_, [&](auto k) { return eval<decltype(k)::value>(x.data(), T, o, nullptr); });
}

void Model::molecule_tau(double T, Eigen::Ref<Eigen::MatrixXd> tau,
                         Eigen::Ref<Eigen::MatrixXd> alpha) {
    check_T(T);
    if (tau.rows() != n_ || tau.cols() != n_ || alpha.rows() != n_ || alpha.cols() != n_)
        throw std::invalid_argument("tau and alpha must be " + std::to_string(n_) + " x " +
                                    std::to_string(n_) + " matrices");
    std::lock_guard<std::mutex> lock(mutex_);
    const TState& s = at(T);
    const std::size_t M = mols_.size();
    tau.setZero();
    alpha.setZero();
    for (std::size_t a = 0; a < M; ++a)
        for (std::size_t b = 0; b < M; ++b) {
            if (a == b) continue;
            tau(mols_[a], mols_[b]) = s.tmm[a * M + b];
            alpha(mols_[a], mols_[b]) = s.alpha_mm[a * M + b];
        }
}

SolventMix Model::solvent_mix(const Eigen::Ref<const Eigen::VectorXd>& x, double T) {
    check_size(x.size(), "x");
    check(x.data(), n_, T);
    std::lock_guard<std::mutex> lock(mutex_);
    const TState& s = at(T);
    const Mixture<double> m =
        solvent_mixture(d_, water_, s.rho.data(), s.eps.data(), x.data(), s.aphi_T);
    return {m.Ms, 1.0 / m.vol, m.eps, m.Aphi};
}

// the derivatives' instances (derivatives.cpp: passes of 1, 2, 3, 4 and 8 tangents)
template Tan<1> Model::eval_hand(const TState&, const HandCoefs<Tan<1>>&, const Tan<1>*,
                                 const Options&, const HandWork<Tan<1>>&, Tan<1>*);
template Tan<2> Model::eval_hand(const TState&, const HandCoefs<Tan<2>>&, const Tan<2>*,
                                 const Options&, const HandWork<Tan<2>>&, Tan<2>*);
template Tan<3> Model::eval_hand(const TState&, const HandCoefs<Tan<3>>&, const Tan<3>*,
                                 const Options&, const HandWork<Tan<3>>&, Tan<3>*);
template Tan<4> Model::eval_hand(const TState&, const HandCoefs<Tan<4>>&, const Tan<4>*,
                                 const Options&, const HandWork<Tan<4>>&, Tan<4>*);
template Tan<8> Model::eval_hand(const TState&, const HandCoefs<Tan<8>>&, const Tan<8>*,
                                 const Options&, const HandWork<Tan<8>>&, Tan<8>*);

}  // namespace enrtl
