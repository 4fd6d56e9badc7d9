// Exact derivatives of ln gamma. Where the model's hand-written gradient serves (Model::hand_ok:
// at most five solvents) that gradient, Model::eval_hand, is evaluated in tangent numbers
// Tan<W>: each of its entries (ln gamma) carries its directional derivatives along W directions
// of the amounts or T per pass, about W + 1 gradients' work whatever the number of species.
// Otherwise the function F(n, T) = n G^ex/RT of model.cpp is evaluated in nested dual numbers
// Dual<K, Tan<L>>: the outer gradient (K entries, one per species) is ln gamma, each entry
// carrying L tangents. Either way every quantity of T (densities, permittivities, tau, G, A_phi,
// the Born factor) is carried as a Tan too, and with fixed ion fractions (option fixed_Y) Y is a
// constant of the gradient but not of the tangents: Y = X/sum X in the value type, as model.cpp
// holds it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "correlations.hpp"
#include "dual.hpp"
#include "model.hpp"

namespace enrtl {

namespace {
constexpr int kTangents = 4;  // directions per pass
constexpr int kWide = 8;      // directions of the hand gradient's one pass of five to eight
using T4 = Tan<kTangents>;
}  // namespace

template <int W>
struct StatesOf;

struct SecondOrder {
    // The temperature functions of Model::at, as numbers of type S.
    template <class S>
    struct State {
        std::vector<S> rho, eps, Gmm, tmm, amm, tmca, tcam, Gcam, Ecell, W1, W2;  // amm: alpha
        std::vector<S> U;                                                         // per ion triple
        std::vector<S> D;  // per dilute-weighted term
        S eps_w, aphi_T, born_T;
    };

    template <class S>
    static void state(const Model& m, const S& T, State<S>& s) {
        using std::exp;
        using std::log;
        using std::pow;
        using std::sqrt;
        const auto& d = m.d_;
        const std::size_t ns = d.solvents.size();
        s.rho.assign(ns, S(0.0));
        s.eps.assign(ns, S(0.0));
        for (std::size_t k = 0; k < ns; ++k) {
            s.rho[k] = density_of(d.density[k].form, d.density[k].c, d.mw[d.solvents[k]], T);
            s.eps[k] = dielectric_of(d.dielectric[k].form, d.dielectric[k].c, T);
            if (d.solvents[k] == m.water_) s.eps_w = s.eps[k];
        }
        const S L = bjerrum(T);
        s.aphi_T = pow(L, 1.5) * (std::sqrt(2.0 * phys::kPi * phys::kNA) / 3.0);
        s.born_T = 0.5 * L;
        const S lnT = log(T);
        const std::size_t M = m.mols_.size();
        s.Gmm.assign(M * M, S(1.0));
        s.tmm.assign(M * M, S(0.0));
        s.amm.assign(M * M, S(0.0));
        for (std::size_t k = 0; k < M * M; ++k) {
            if (k / M == k % M) continue;
            s.tmm[k] = tdep(m.mA_[k], m.mB_[k], m.mF_[k], m.mG_[k], T, lnT);
            s.amm[k] = m.mC_[k] + m.mD_[k] * (T - 273.15);
            s.Gmm[k] = exp(-(s.amm[k] * s.tmm[k]));
        }
        const std::size_t ne = m.eAlpha_.size();
        s.tmca.resize(ne);
        s.tcam.resize(ne);
        s.Gcam.resize(ne);
        s.Ecell.resize(ne);
        s.W1.resize(ne);
        s.W2.resize(ne);
        for (std::size_t k = 0; k < ne; ++k) {
            s.tmca[k] = tdep(m.eA_[0][k], m.eB_[0][k], m.eF_[0][k], m.eG_[0][k], T, lnT);
            s.tcam[k] = tdep(m.eA_[1][k], m.eB_[1][k], m.eF_[1][k], m.eG_[1][k], T, lnT);
            s.Gcam[k] = exp(s.tcam[k] * (-m.eAlpha_[k]));
            s.Ecell[k] = exp((s.tmca[k] - s.tcam[k]) * (-m.eAlpha_[k]));
            s.W1[k] = m.eW_[0][k] + m.eW_[1][k] / T;
            s.W2[k] = m.eW_[2][k] + m.eW_[3][k] / T;
        }
        const auto& it = m.d_.ion_triples;
        s.U.resize(it.size());
        for (std::size_t k = 0; k < it.size(); ++k) s.U[k] = it[k].p[0] + it[k].p[1] / T;
        const auto& dt = m.d_.dilute_terms;
        s.D.resize(dt.size());
        for (std::size_t k = 0; k < dt.size(); ++k) s.D[k] = dt[k].p[0] + dt[k].p[1] / T;
    }

    // The state at T (flat: lane < 0) or with T's unit tangent on one lane, kept on the model
    // for its last T as Model::at keeps its own: computed once per T and lane.
    template <int W = kTangents>
    static const State<Tan<W>>& state_at(Model& m, double T, int lane);

    // The state of one tangent (T's, lane 0) as a state of W tangents with T's on `lane` (flat:
    // lane < 0). Each lane of a Tan is worked out from its own tangent alone, so this is the
    // state T's tangent on that lane gives, digit for digit; the other lanes get 0 times T's
    // (0, or NaN where T's derivative is not finite, as a zero tangent through it gives).
    // spread() below copies every member of State by name: a member added to State must be
    // added there too (a pass of another width would otherwise read it empty)
    static_assert(sizeof(State<double>) == 13 * sizeof(std::vector<double>) + 3 * sizeof(double),
                  "State gained or lost a member: update spread()");

    template <int W>
    static void spread(const State<Tan<1>>& one, int lane, State<Tan<W>>& s) {
        const auto put = [lane](const std::vector<Tan<1>>& a, std::vector<Tan<W>>& b) {
            b.resize(a.size());
            for (std::size_t k = 0; k < a.size(); ++k) b[k] = spread_one<W>(a[k], lane);
        };
        put(one.rho, s.rho);
        put(one.eps, s.eps);
        put(one.Gmm, s.Gmm);
        put(one.tmm, s.tmm);
        put(one.amm, s.amm);
        put(one.tmca, s.tmca);
        put(one.tcam, s.tcam);
        put(one.Gcam, s.Gcam);
        put(one.Ecell, s.Ecell);
        put(one.W1, s.W1);
        put(one.W2, s.W2);
        put(one.U, s.U);
        put(one.D, s.D);
        s.eps_w = spread_one<W>(one.eps_w, lane);
        s.aphi_T = spread_one<W>(one.aphi_T, lane);
        s.born_T = spread_one<W>(one.born_T, lane);
    }
    template <int W>
    static Tan<W> spread_one(const Tan<1>& a, int lane) {
        Tan<W> r(a.v);
        for (int l = 0; l < W; ++l) r.t[l] = l == lane ? a.t[0] : 0.0 * a.t[0];
        return r;
    }

    // The lane of a pass's T tangents t[0..width): -1 where all are +0 (the flat state), l
    // where t[l] is 1 and the others +0, else -2 (no state kept for it).
    template <int W>
    static int lane_of(const Tan<W>& Tt, int width) {
        int lane = -1;
        for (int l = 0; l < width; ++l) {
            if (Tt.t[l] == 0.0 && !std::signbit(Tt.t[l])) continue;
            if (Tt.t[l] != 1.0 || lane >= 0) return -2;
            lane = l;
        }
        return lane;
    }

    template <int W>
    static HandCoefs<Tan<W>> coefs(const State<Tan<W>>& s) {
        return {s.rho.data(),  s.eps.data(),  s.Gmm.data(),  s.tmm.data(),
                s.tmca.data(), s.tcam.data(), s.Gcam.data(), s.Ecell.data(),
                s.W1.data(),   s.W2.data(),  // a parameter's tangent may stand on a zero W
                s.eps_w,       s.aphi_T,      s.born_T,      s.U.data(),
                s.D.data()};
    }

    // The hand gradient of model.cpp (Model::eval_hand) in tangents at the amounts x over the
    // state s: its entries carry ln gamma and its directional derivatives along x's and s's
    // tangents. One pass costs about kTangents + 1 gradients, whatever the number of species.
    template <int W>
    static const Tan<W>* hand(Model& m, const State<Tan<W>>& s, const Tan<W>* x, double T,
                              const Options& o);

    template <int W>
    struct Work {
        std::vector<Tan<W>> q, X, g, grad, x;  // the hand gradient's work arrays
        std::vector<Dual<8, Tan<W>>> lr;
    };
    template <int W>
    static Work<W>& work(Model& m);
    template <int W>
    static StatesOf<W>& states_of(Model& m);

    // One pass of run_hand over the columns first .. first + width of V, width <= W.
    template <int W, class Vfn>
    static void pass(Model& m, const double* x, double T, const Options& o, int L, int first,
                     int width, Vfn& v, double* lng, double* JV) {
        using TW = Tan<W>;
        const int n = m.n_;
        TW Tt(T);
        for (int l = 0; l < width; ++l) Tt.t[l] = v(n, first + l);
        const int lane = lane_of(Tt, width);
        State<TW> sloped;  // T tangents other than one unit lane
        if (lane < -1) state(m, Tt, sloped);
        const State<TW>& s = lane < -1 ? sloped : state_at<W>(m, T, lane);
        std::vector<TW>& xs = work<W>(m).x;
        for (int i = 0; i < n; ++i) {
            xs[i] = TW(x[i]);
            for (int l = 0; l < width; ++l) xs[i].t[l] = v(i, first + l);
        }
        const TW* g = hand(m, s, xs.data(), T, o);
        for (int i = 0; i < n; ++i) {
            if (first == 0) lng[i] = g[i].v;
            for (int l = 0; l < width; ++l) JV[i * L + first + l] = g[i].t[l];
        }
    }

    // ln gamma (lng) and JV (row-major, n x L) = J V_x + dT V_T, v(i, l) the entry of V (rows:
    // the amounts, then T), by the hand gradient in passes of kWide while seven or more
    // directions are left, then of kTangents; a pass of one to three directions as narrow
    // (Henry references, T alone, the last of the amounts): a pass costs about width + 1
    // gradients, its idle lanes included (five or six directions: 4 + 1 or 4 + 2 is faster).
    template <class Vfn>
    static void run_hand(Model& m, const double* x, double T, const Options& o, int L, Vfn&& v,
                         double* lng, double* JV) {
        // Eight directions in one pass where two of four would do (a liquid's amounts and T):
        // the value part once, not twice. Each lane is worked out from its own tangents alone,
        // so a lane gives the digits it gives in a pass of four.
        for (int first = 0, step = kTangents; first < std::max(L, 1); first += step) {
            step = L - first >= kWide - 1 ? kWide : kTangents;
            const int width = std::min(step, L - first);
            if (width > kTangents)
                pass<kWide>(m, x, T, o, L, first, width, v, lng, JV);
            else if (width <= 1)
                pass<1>(m, x, T, o, L, first, width, v, lng, JV);
            else if (width == 2)
                pass<2>(m, x, T, o, L, first, width, v, lng, JV);
            else if (width == 3)
                pass<3>(m, x, T, o, L, first, width, v, lng, JV);
            else
                pass<kTangents>(m, x, T, o, L, first, width, v, lng, JV);
        }
    }

    // F(n) in D = Dual<K, S>: nd the amounts (seeded), the rest as model.cpp's eval and lc.
    template <class D, class S>
    static D F(const Model& m, const State<S>& s, const D* nd, const Options& o) {
        // With fixed ion fractions Y, and so G and tau of the ions' cells, have no gradient:
        // they are carried in the value type (tangents kept), K times cheaper.
        return o.fixed_Y ? FQ<D, S, S>(m, s, nd, o) : FQ<D, S, D>(m, s, nd, o);
    }

    // Q: the number type of the ion fractions and the cells' G and tau (D, or S when fixed).
    template <class D, class S, class Q>
    static D FQ(const Model& m, const State<S>& s, const D* nd, const Options& o) {
        const int n = m.n_;
        const int M = static_cast<int>(m.mols_.size());
        const int Cn = static_cast<int>(m.cats_.size()), An = static_cast<int>(m.ans_.size());
        const int NI = Cn + An;
        std::vector<D> X(n);
        std::vector<Q> Y(n), Gi(NI * M), ti(NI * M);
        D N(0.0);
        for (int i = 0; i < n; ++i) {
            X[i] = nd[i] * m.C_[i];
            N += nd[i];
        }
        D SXc(0.0), SXa(0.0);
        for (int c : m.cats_) SXc += X[c];
        for (int a : m.ans_) SXa += X[a];
        auto fractions = [&](const std::vector<int>& ions, const D& sum) {
            for (int i : ions) {
                if (!(value(sum.v) > 0))
                    Y[i] = Q(1.0 / ions.size());
                else if constexpr (std::is_same_v<Q, S>)
                    Y[i] = X[i].v / sum.v;  // no gradient, tangents kept
                else
                    Y[i] = X[i] / sum;
            }
        };
        fractions(m.cats_, SXc);
        fractions(m.ans_, SXa);
        for (int p = 0; p < NI; ++p) {
            const bool cation = p < Cn;
            const std::vector<int>& over = cation ? m.ans_ : m.cats_;
            for (int mi = 0; mi < M; ++mi) {
                Q G(0.0), al(0.0);
                for (int q = 0; q < static_cast<int>(over.size()); ++q) {
                    const int ci = cation ? p : q, ai = cation ? q : p - Cn;
                    const std::size_t k = (static_cast<std::size_t>(ci) * An + ai) * M + mi;
                    G += Y[over[q]] * s.Gcam[k];
                    al += Y[over[q]] * m.eAlpha_[k];
                }
                Gi[p * M + mi] = G;
                ti[p * M + mi] = -log(G) / al;
            }
        }
        D Fv(0.0);
        // molecule-centred cells
        for (int mi = 0; mi < M; ++mi) {
            D num(0.0), den(0.0);
            for (int mj = 0; mj < M; ++mj) {
                const int j = m.mols_[mj];
                const S& g = s.Gmm[mj * M + mi];
                num += X[j] * (g * s.tmm[mj * M + mi]);
                den += X[j] * g;
            }
            for (int p = 0; p < NI; ++p) {
                const int ion = p < Cn ? m.cats_[p] : m.ans_[p - Cn];
                const D xg = X[ion] * Gi[p * M + mi];
                num += xg * ti[p * M + mi];
                den += xg;
            }
            Fv += X[m.mols_[mi]] * num / den;
        }
        // ion-centred cells and the ions' reference Phi
        const bool ref = o.lc_ref == LcRef::WaterRatio;
        D Phi(0.0);
        const int wi = m.water_slot_;
        for (int side = 0; side < 2; ++side) {
            const int P = side == 0 ? Cn : An, R = side == 0 ? An : Cn;
            const D& others = side == 0 ? SXa : SXc;
            for (int p = 0; p < P; ++p) {
                const int centre = side == 0 ? m.cats_[p] : m.ans_[p];
                const int pslot = side == 0 ? p : Cn + p;
                for (int r = 0; r < R; ++r) {
                    const int partner = side == 0 ? m.ans_[r] : m.cats_[r];
                    const int ci = side == 0 ? p : r, ai = side == 0 ? r : p;
                    const std::size_t k0 = (static_cast<std::size_t>(ci) * An + ai) * M;
                    D num(0.0), den = others;
                    Q tw(0.0);
                    for (int mi = 0; mi < M; ++mi) {
                        const std::size_t k = k0 + mi;
                        const Q t = ti[pslot * M + mi] + (s.tmca[k] - s.tcam[k]);
                        const D xg = X[m.mols_[mi]] * exp(t * (-m.eAlpha_[k]));
                        num += xg * t;
                        den += xg;
                        if (mi == wi) tw = t;
                    }
                    const D w = X[centre] * Y[partner];
                    if (value(den.v) > 0) Fv += w * num / den;
                    if (ref) Phi += w * tw;
                }
                if (ref) Phi += X[centre] * (Gi[pslot * M + wi] * ti[pslot * M + wi]);
            }
        }
        if (ref) Fv -= Phi;
        // molecule-ion-pair term
        for (std::size_t k = 0; k < s.W1.size(); ++k) {
            if (is_zero(s.W1[k]) && is_zero(s.W2[k])) continue;  // absent, or no tangent on it
            const int mi = static_cast<int>(k % M), pair = static_cast<int>(k / M);
            const int mm = m.mols_[mi], c = m.cats_[pair / An], a = m.ans_[pair % An];
            Fv += nd[mm] * nd[c] * nd[a] / (N * N) * (D(s.W1[k]) + s.W2[k] * (nd[c] + nd[a]) / N);
        }
        Fv += ion_mixing(m.d_.ion_triples, s.U.data(), nd, N);
        // long-range terms in the solvent mixture
        if (NI > 0) {
            const auto& d = m.d_;
            D ns(0.0);
            for (int k : d.solvents) ns += nd[k];
            D Ms(0.0), eps(0.0), vol(0.0);
            for (std::size_t k = 0; k < d.solvents.size(); ++k) {
                const int i = d.solvents[k];
                const D sk = value(ns.v) > 0 ? nd[i] / ns : D(i == m.water_ ? 1.0 : 0.0);
                const D mk = sk * d.mw[i];
                Ms += mk;
                eps += mk * s.eps[k];
                vol += mk * (1.0 / s.rho[k]);
            }
            eps = eps / Ms;
            vol = vol / Ms;
            const D Aphi = pow(vol, -0.5) * pow(eps, -1.5) * s.aphi_T;
            D I(0.0), q(0.0);
            for (int i = 0; i < n; ++i) {
                if (d.kind[i] != Kind::Ion) continue;
                const double z2 = double(d.z[i]) * d.z[i];
                I += nd[i] * (0.5 * z2);
                q += nd[i] * (z2 / d.born[i]);
            }
            I = I / N;
            if (value(I.v) > 0) {
                const D sq = sqrt(I);
                Fv += -(N * sqrt(1000.0 / Ms)) * Aphi * I * log(1.0 + Model::kRho * sq) *
                      (4.0 / Model::kRho);
            }
            Fv += (1.0 / eps - D(1.0 / s.eps_w)) * q * s.born_T;
            Fv += dilute_weighted(d.dilute_terms, s.D.data(), nd, N, I);
        }
        return Fv;
    }

    // dirs: the directions wanted, species indices for amounts and n for T, in passes of
    // kTangents; J and dT are written for those only (row-major J, n x n).
    template <int K>
    static void run(Model& m, const double* x, double T, const Options& o,
                    const std::vector<int>& dirs, double* lng, double* J, double* dT) {
        using D = Dual<K, T4>;
        const int n = m.n_;
        State<T4> sloped;  // T's tangent on more than one lane (a direction given twice)
        std::vector<D> nd(n);
        const int nd_dirs = static_cast<int>(dirs.size());
        for (int first = 0; first < std::max(nd_dirs, 1); first += kTangents) {
            T4 Tt(T);
            for (int l = 0; l < kTangents && first + l < nd_dirs; ++l)
                if (dirs[first + l] == n) Tt.t[l] = 1.0;
            const int lane = lane_of(Tt, kTangents);
            if (lane < -1) state(m, Tt, sloped);
            const State<T4>& s = lane < -1 ? sloped : state_at(m, T, lane);
            for (int i = 0; i < n; ++i) {
                T4 xi(x[i]);
                for (int l = 0; l < kTangents && first + l < nd_dirs; ++l)
                    xi.t[l] = dirs[first + l] == i ? 1.0 : 0.0;
                nd[i] = D::seed(xi, i);
            }
            const D f = F<D, T4>(m, s, nd.data(), o);
            for (int i = 0; i < n; ++i) {
                if (first == 0) lng[i] = f.d[i].v;
                for (int l = 0; l < kTangents && first + l < nd_dirs; ++l) {
                    const int j = dirs[first + l];
                    if (j < n)
                        J[i * n + j] = f.d[i].t[l];
                    else
                        dT[i] = f.d[i].t[l];
                }
            }
        }
    }

    // The gradient seeded along the rows of W (K of them: d[k] = W ln gamma) and the tangents
    // along the columns of V (amounts, then T), in passes of kTangents: Wlng = W ln gamma,
    // P (row-major, K x V.cols()) = W (J V_amounts + dT V_T).
    template <int K>
    static void run_directional(Model& m, const double* x, double T, const Options& o,
                                const Eigen::Ref<const Eigen::MatrixXd>& W,
                                const Eigen::Ref<const Eigen::MatrixXd>& V, double* Wlng,
                                double* P) {
        using D = Dual<K, T4>;
        // rows <= K: the gradient's entries past the rows of W stay 0
        const int n = m.n_, L = static_cast<int>(V.cols()), rows = static_cast<int>(W.rows());
        State<T4> sloped;  // T tangents other than one unit lane
        std::vector<D> nd(n);
        for (int first = 0; first < std::max(L, 1); first += kTangents) {
            const int width = std::min(kTangents, L - first);
            T4 Tt(T);
            for (int l = 0; l < width; ++l) Tt.t[l] = V(n, first + l);
            const int lane = lane_of(Tt, width);
            if (lane < -1) state(m, Tt, sloped);
            const State<T4>& s = lane < -1 ? sloped : state_at(m, T, lane);
            for (int i = 0; i < n; ++i) {
                T4 xi(x[i]);
                for (int l = 0; l < width; ++l) xi.t[l] = V(i, first + l);
                nd[i] = D(xi);
                for (int k = 0; k < rows; ++k) nd[i].d[k] = T4(W(k, i));
            }
            const D f = F<D, T4>(m, s, nd.data(), o);
            for (int k = 0; k < rows; ++k) {
                if (first == 0) Wlng[k] = f.d[k].v;
                for (int l = 0; l < width; ++l) P[k * L + first + l] = f.d[k].t[l];
            }
        }
    }

    // Tangent l on a parameter of the flat state s (T without tangent): d tau / d coefficient
    // is 1, 1/T, ln T, T for A, B, F, G; the G = exp(-alpha tau) of a seeded tau follows it.
    static void seed(const Model& m, const ParamDir& p, int l, double T, State<T4>& s) {
        const auto slot = [](const std::vector<int>& v, int i) {
            return static_cast<std::size_t>(std::find(v.begin(), v.end(), i) - v.begin());
        };
        const double dtau[4] = {1.0, 1.0 / T, std::log(T), T};
        const std::size_t M = m.mols_.size();
        if (p.kind == 2) {  // U = A + B/T
            s.U[p.pair].t[l] += p.coef == 0 ? 1.0 : 1.0 / T;
            return;
        }
        if (p.kind == 3) {  // D = A + B/T
            s.D[p.pair].t[l] += p.coef == 0 ? 1.0 : 1.0 / T;
            return;
        }
        if (p.kind == 0) {
            const ElectrolytePair& e = m.d_.pairs[p.pair];
            const std::size_t k =
                (slot(m.cats_, e.c) * m.ans_.size() + slot(m.ans_, e.a)) * M + slot(m.mols_, e.m);
            if (p.coef < 8) {
                T4& tau = p.coef < 4 ? s.tmca[k] : s.tcam[k];
                tau.t[l] += dtau[p.coef % 4];
                s.Gcam[k] = exp(s.tcam[k] * (-m.eAlpha_[k]));
                s.Ecell[k] = exp((s.tmca[k] - s.tcam[k]) * (-m.eAlpha_[k]));
            } else {
                T4& w = p.coef < 11 ? s.W1[k] : s.W2[k];
                w.t[l] += p.coef % 2 == 1 ? 1.0 : 1.0 / T;
            }
            return;
        }
        const MoleculePair& q = m.d_.mol_pairs[p.pair];
        const std::size_t a = slot(m.mols_, q.i), b = slot(m.mols_, q.j);
        const std::size_t ab = a * M + b, ba = b * M + a;
        if (p.coef < 8) {
            s.tmm[p.coef % 2 == 0 ? ab : ba].t[l] += dtau[p.coef / 2];
        } else {  // alpha = C + D (T - 273.15), one for both directions
            const double da = p.coef == 8 ? 1.0 : T - 273.15;
            s.amm[ab].t[l] += da;
            s.amm[ba].t[l] += da;
        }
        s.Gmm[ab] = exp(-(s.amm[ab] * s.tmm[ab]));
        s.Gmm[ba] = exp(-(s.amm[ba] * s.tmm[ba]));
    }

    // dP (row-major, n x params): d ln gamma / d parameter, in passes of kTangents.
    template <int K>
    static void run_parameters(Model& m, const double* x, double T, const Options& o,
                               const std::vector<ParamDir>& ps, double* lng, double* dP) {
        using D = Dual<K, T4>;
        const int n = m.n_, np = static_cast<int>(ps.size());
        const State<T4>& flat = state_at(m, T, -1);
        State<T4> s;
        if (m.hand_ok()) {
            const std::vector<T4> xs(x, x + n);
            for (int first = 0; first < std::max(np, 1); first += kTangents) {
                s = flat;
                const int width = std::min(kTangents, np - first);
                for (int l = 0; l < width; ++l) seed(m, ps[first + l], l, T, s);
                const T4* g = hand<kTangents>(m, s, xs.data(), T, o);
                for (int i = 0; i < n; ++i) {
                    if (first == 0) lng[i] = g[i].v;
                    for (int l = 0; l < width; ++l) dP[i * np + first + l] = g[i].t[l];
                }
            }
            return;
        }
        std::vector<D> nd(n);
        for (int i = 0; i < n; ++i) nd[i] = D::seed(T4(x[i]), i);
        for (int first = 0; first < std::max(np, 1); first += kTangents) {
            s = flat;
            const int width = std::min(kTangents, np - first);
            for (int l = 0; l < width; ++l) seed(m, ps[first + l], l, T, s);
            const D f = F<D, T4>(m, s, nd.data(), o);
            for (int i = 0; i < n; ++i) {
                if (first == 0) lng[i] = f.d[i].v;
                for (int l = 0; l < width; ++l) dP[i * np + first + l] = f.d[i].t[l];
            }
        }
    }
};

// The states of W tangents at the last T (flat, then T's tangent on lane 0, 1, ...) and the
// hand gradient's work arrays.
template <int W>
struct StatesOf {
    double T = -1.0;
    SecondOrder::State<Tan<W>> s[W + 1];
    bool have[W + 1] = {};
    SecondOrder::Work<W> work;
};

// The last answers of one row and one direction of ln_gamma_directional_derivatives: a Henry
// component's gamma infinity in a pure solvent and its T derivative, asked at the same point by
// every liquid's Jacobian at one T. Keyed by every bit of T, the options, x, W and V (the same
// arguments give the same digits).
struct OneRowMemo {
    static constexpr int kSlots = 4;
    std::vector<double> key[kSlots];
    double wlng[kSlots] = {}, p[kSlots] = {};
    int next = 0;
    std::vector<double> probe;  // the key of the call being asked
};

struct SecondOrderStates {
    StatesOf<1> one;
    StatesOf<2> two;
    StatesOf<3> three;
    StatesOf<kTangents> four;
    StatesOf<kWide> wide;
    OneRowMemo one_row;
};

template <int W>
StatesOf<W>& SecondOrder::states_of(Model& m) {
    if (!m.ts2_) m.ts2_ = std::make_shared<SecondOrderStates>();
    if constexpr (W == 1)
        return m.ts2_->one;
    else if constexpr (W == 2)
        return m.ts2_->two;
    else if constexpr (W == 3)
        return m.ts2_->three;
    else if constexpr (W == kWide)
        return m.ts2_->wide;
    else
        return m.ts2_->four;
}

template <int W>
SecondOrder::Work<W>& SecondOrder::work(Model& m) {
    Work<W>& w = states_of<W>(m).work;
    const std::size_t n = static_cast<std::size_t>(m.n_);
    if (w.grad.size() < n) {
        w.q.resize(m.lc_work());
        for (auto* v : {&w.X, &w.g, &w.grad, &w.x}) v->resize(n);
        w.lr.resize(n);
    }
    return w;
}

template <int W>
const Tan<W>* SecondOrder::hand(Model& m, const State<Tan<W>>& s, const Tan<W>* x, double T,
                                const Options& o) {
    Work<W>& w = work<W>(m);
    const HandWork<Tan<W>> hw{w.q.data(), w.X.data(), w.g.data(), w.lr.data()};
    // In tangents the hand gradient reads only the alphas of the model's own state (alp,
    // alp_same; T's functions come from s): constants set when the model is built, the same in
    // its state of any T. So the state at() keeps is taken at whatever T it holds, not made
    // again at this T (a derivative at a new T then leaves it to the double evaluations).
    const Model::TState& ts = m.ts_.T > 0.0 ? m.ts_ : m.at(T);
    m.eval_hand(ts, coefs(s), x, o, hw, w.grad.data());
    return w.grad.data();
}

template <int W>
const SecondOrder::State<Tan<W>>& SecondOrder::state_at(Model& m, double T, int lane) {
    StatesOf<W>& c = states_of<W>(m);
    if (c.T != T) {
        c.T = T;
        std::fill(std::begin(c.have), std::end(c.have), false);
    }
    if (!c.have[lane + 1]) {
        if (W == 1 && lane == 0) {
            Tan<W> Tt(T);
            Tt.t[0] = 1.0;
            state(m, Tt, c.s[1]);
        } else {
            // the temperature functions once per T, every other width and lane copied from
            // them: a derivative at a new T (a pass flat, one with T's tangent, Henry
            // references of other widths) pays for one state, not one per width and lane
            spread(state_at<1>(m, T, 0), lane, c.s[lane + 1]);
        }
        c.have[lane + 1] = true;
    }
    return c.s[lane + 1];
}

namespace {
template <class Fn>
void by_width(int n, Fn&& go) {
    if (n <= 4)
        go(std::integral_constant<int, 4>{});
    else if (n <= 8)
        go(std::integral_constant<int, 8>{});
    else if (n <= 10)
        go(std::integral_constant<int, 10>{});
    else if (n <= 12)
        go(std::integral_constant<int, 12>{});
    else if (n <= 16)
        go(std::integral_constant<int, 16>{});
    else if (n <= 24)
        go(std::integral_constant<int, 24>{});
    else if (n <= 32)
        go(std::integral_constant<int, 32>{});
    else
        go(std::integral_constant<int, 64>{});
}
}  // namespace

void Model::ln_gamma_derivatives(const Eigen::Ref<const Eigen::VectorXd>& x, double T,
                                 const Options& o, Eigen::Ref<Eigen::VectorXd> out,
                                 Eigen::Ref<Eigen::MatrixXd> J, Eigen::Ref<Eigen::VectorXd> dT,
                                 const std::vector<int>* directions) {
    check_size(out.size(), "out");
    check_size(dT.size(), "dT");
    if (J.rows() != n_ || J.cols() != n_)
        throw std::invalid_argument("J must be a " + std::to_string(n_) + " x " +
                                    std::to_string(n_) + " matrix");
    check_point(x, T);
    std::vector<int> dirs;
    if (directions) {
        for (int j : *directions) {
            if (j < 0 || j > n_)
                throw std::invalid_argument("direction " + std::to_string(j) +
                                            " is not a species "
                                            "index or " +
                                            std::to_string(n_) + " (T)");
            dirs.push_back(j);
        }
    } else {
        for (int j = 0; j <= n_; ++j) dirs.push_back(j);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> Jr =
        Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>::Zero(n_, n_);
    dT.setZero();
    if (hand_ok()) {
        const int L = static_cast<int>(dirs.size());
        std::vector<double> JV(static_cast<std::size_t>(n_) * L);
        SecondOrder::run_hand(
            *this, x.data(), T, o, L, [&](int i, int l) { return dirs[l] == i ? 1.0 : 0.0; },
            out.data(), JV.data());
        for (int i = 0; i < n_; ++i)
            for (int l = 0; l < L; ++l) {
                const int j = dirs[l];
                (j < n_ ? Jr(i, j) : dT[i]) = JV[static_cast<std::size_t>(i) * L + l];
            }
        J = Jr;
        return;
    }
    by_width(n_, [&](auto k) {
        SecondOrder::run<decltype(k)::value>(*this, x.data(), T, o, dirs, out.data(), Jr.data(),
                                             dT.data());
    });
    J = Jr;
}

void Model::ln_gamma_directional_derivatives(const Eigen::Ref<const Eigen::VectorXd>& x, double T,
                                             const Options& o,
                                             const Eigen::Ref<const Eigen::MatrixXd>& W,
                                             const Eigen::Ref<const Eigen::MatrixXd>& V,
                                             Eigen::Ref<Eigen::VectorXd> Wlng,
                                             Eigen::Ref<Eigen::MatrixXd> P) {
    const Eigen::Index k = W.rows(), L = V.cols();
    if (W.cols() != n_ || k < 1 || k > kMaxSpecies || V.rows() != n_ + 1 || Wlng.size() != k ||
        P.rows() != k || P.cols() != L)
        throw std::invalid_argument("W must be k x " + std::to_string(n_) +
                                    " (1 <= k <= " + std::to_string(kMaxSpecies) + "), V " +
                                    std::to_string(n_ + 1) + " x L, Wlng k and P k x L");
    check_point(x, T);
    std::lock_guard<std::mutex> lock(mutex_);
    OneRowMemo* memo = nullptr;
    if (k == 1 && L == 1) {
        if (!ts2_) ts2_ = std::make_shared<SecondOrderStates>();
        memo = &ts2_->one_row;
        std::vector<double>& key = memo->probe;
        key.clear();
        key.push_back(T);
        key.push_back(o.fixed_Y ? 1.0 : 0.0);
        key.push_back(static_cast<double>(static_cast<int>(o.lc_ref)));
        for (Eigen::Index i = 0; i < n_; ++i) key.push_back(x[i]);
        for (Eigen::Index i = 0; i < n_; ++i) key.push_back(W(0, i));
        for (Eigen::Index i = 0; i <= n_; ++i) key.push_back(V(i, 0));
        for (int s = 0; s < OneRowMemo::kSlots; ++s)
            if (memo->key[s].size() == key.size() &&
                std::memcmp(memo->key[s].data(), key.data(), key.size() * sizeof(double)) == 0) {
                Wlng[0] = memo->wlng[s];
                P(0, 0) = memo->p[s];
                return;
            }
    }
    // (kept for the next call of the same arguments, as it was worked out)
    const auto keep = [&] {
        if (!memo) return;
        const int s = memo->next;
        memo->next = (s + 1) % OneRowMemo::kSlots;
        memo->key[s] = memo->probe;
        memo->wlng[s] = Wlng[0];
        memo->p[s] = P(0, 0);
    };
    if (hand_ok()) {  // all of J V, whatever W: then projected
        Eigen::VectorXd lng(n_);
        Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> JV(n_, L);
        SecondOrder::run_hand(
            *this, x.data(), T, o, static_cast<int>(L), [&](int i, int l) { return V(i, l); },
            lng.data(), JV.data());
        Wlng.noalias() = W * lng;
        P.noalias() = W * JV;
        keep();
        return;
    }
    Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> Pr(k, L);
    // the gradient's width: the rows of W exactly where they are few (a projection on the
    // reactions), else as ln_gamma_derivatives
    const auto go = [&](auto w) {
        SecondOrder::run_directional<decltype(w)::value>(*this, x.data(), T, o, W, V, Wlng.data(),
                                                         Pr.data());
    };
    switch (k) {
        case 1:
            go(std::integral_constant<int, 1>{});
            break;
        case 2:
            go(std::integral_constant<int, 2>{});
            break;
        case 3:
            go(std::integral_constant<int, 3>{});
            break;
        case 5:
            go(std::integral_constant<int, 5>{});
            break;
        case 6:
            go(std::integral_constant<int, 6>{});
            break;
        default:
            by_width(static_cast<int>(k), go);
    }
    P = Pr;
    keep();
}

void Model::ln_gamma_parameter_derivatives(const Eigen::Ref<const Eigen::VectorXd>& x, double T,
                                           const Options& o, Eigen::Ref<Eigen::VectorXd> out,
                                           Eigen::Ref<Eigen::MatrixXd> dP,
                                           const std::vector<ParamDir>& params) {
    check_size(out.size(), "out");
    const int np = static_cast<int>(params.size());
    if (dP.rows() != n_ || dP.cols() != np)
        throw std::invalid_argument("dP must be a " + std::to_string(n_) + " x " +
                                    std::to_string(np) + " matrix");
    check_point(x, T);
    for (const ParamDir& p : params) {
        const bool el = p.kind == 0;
        if (p.kind == 2 || p.kind == 3) {  // an ion triple's U or a dilute term's D: A, B
            const bool triple = p.kind == 2;
            const int terms =
                static_cast<int>(triple ? d_.ion_triples.size() : d_.dilute_terms.size());
            if (p.pair < 0 || p.pair >= terms || p.coef < 0 || p.coef > 1)
                throw std::invalid_argument("parameter (" + std::to_string(p.kind) + ", " +
                                            std::to_string(p.pair) + ", " + std::to_string(p.coef) +
                                            ") is not a coefficient of this model's " +
                                            (triple ? "ion triples" : "dilute terms"));
            continue;
        }
        const int pairs = static_cast<int>(el ? d_.pairs.size() : d_.mol_pairs.size());
        const std::string what = std::string(el ? "electrolyte" : "molecule") + " pair " +
                                 std::to_string(p.pair) + " coefficient " + std::to_string(p.coef);
        if ((p.kind != 0 && p.kind != 1) || p.pair < 0 || p.pair >= pairs || p.coef < 0 ||
            p.coef >= (el ? 13 : 10))
            throw std::invalid_argument("parameter (" + std::to_string(p.kind) + ", " +
                                        std::to_string(p.pair) + ", " + std::to_string(p.coef) +
                                        ") is not a coefficient of this model's pairs");
        if (el && p.coef == 8)
            throw std::invalid_argument(what +
                                        ": derivatives with respect to an electrolyte "
                                        "pair's alpha are not available");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor> Pr(n_, np);
    by_width(n_, [&](auto k) {
        SecondOrder::run_parameters<decltype(k)::value>(*this, x.data(), T, o, params, out.data(),
                                                        Pr.data());
    });
    dP = Pr;
}

}  // namespace enrtl
