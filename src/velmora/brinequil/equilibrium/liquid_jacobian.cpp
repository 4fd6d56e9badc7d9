#include "equilibrium/liquid_jacobian.hpp"

#include <cmath>
#include <stdexcept>
#include <vector>

#include "fugacity/henry.hpp"
#include "fugacity/reference_slopes.hpp"

namespace brinequil::core {

namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::RowVectorXd;
using Eigen::VectorXd;

// d/dT of A + B/T + C ln T + D T, row r of c holding B C D
double dlnk_dT(const MatrixXd& c, Index r, double T) {
    return -c(r, 0) / (T * T) + c(r, 1) / T + c(r, 2);
}

// A Henry reference composition: trace everywhere, the solute i at infinite dilution, ions
// absent (the molecular term, as the speciation reads it).
void reference_point(const LiquidJacobianModel& m, int i, VectorXd& xw) {
    xw[i] = kSoluteTrace;
    for (Index k = 0; k < xw.size(); ++k)
        if (m.ion[k]) xw[k] = 0.0;
}

// The activity model's cost of a derivative: passes of four directions, each as wide as the
// gradient (ActivityDerivatives of the compiled model: exact widths 1-6, then 8, 10, 12, 16...).
Index passes(Index directions) { return (directions + 3) / 4; }
Index width(Index k) {
    if (k <= 6 && k != 4) return k;
    for (Index w : {4, 8, 10, 12, 16, 24, 32})
        if (k <= w) return w;
    return 64;
}

// A X = R by LU with partial pivoting where A is square and regular (as LAPACK's gesv:
// invariant to the columns' scale, which spans the amounts' range), else the least-squares
// solution of minimum norm (idle species leave more equations than unknowns).
MatrixXd solve(const MatrixXd& A, const MatrixXd& R) {
    if (A.rows() == A.cols()) {
        MatrixXd X = Eigen::PartialPivLU<MatrixXd>(A).solve(R);
        if (X.allFinite()) return X;  // an exactly singular A gives inf or NaN
    }
    return A.completeOrthogonalDecomposition().solve(R);
}

// The intermediate arrays of liquid_jacobian, kept per thread between calls (a Jacobian of a few
// species otherwise spends a tenth of its time allocating them); a call made while another runs
// on the same thread takes its own.
struct Work {
    std::vector<char> idle;
    std::vector<int> dirs, active;
    VectorXd x, n0, lng, Wlng, lng_T, nu_lng_T, ref, dref_T, xw, net, inv_n;
    MatrixXd V, P, I, Jn, nuJn, dref_x, Vr, Wi, rhs, A, dlnn, dx, V_T;
    RowVectorXd dN, dl, dnum, dh;
};

class WorkLease {
public:
    WorkLease() : own_(depth_++ == 0 ? nullptr : new Work) {}
    ~WorkLease() {
        --depth_;
        delete own_;
    }
    WorkLease(const WorkLease&) = delete;
    WorkLease& operator=(const WorkLease&) = delete;
    Work& get() { return own_ ? *own_ : kept_; }

private:
    static thread_local Work kept_;
    static thread_local int depth_;
    Work* own_;
};
thread_local Work WorkLease::kept_;
thread_local int WorkLease::depth_ = 0;

}  // namespace

void liquid_jacobian(const LiquidJacobianModel& m, ActivityDerivatives& act, bool solvent_ref,
                     const VectorXd& n, double T, const VectorXd& app, const std::vector<int>& vol,
                     const VectorXd& pp, LiquidJacobian& out) {
    const Index ns = n.size(), nc = app.size(), nw = 1 + nc;
    const Index nr = m.nu.rows(), nb = m.B.rows();
    if (m.nu.cols() != ns || m.B.cols() != ns || m.D.rows() != ns || m.D.cols() != nc ||
        static_cast<Index>(vol.size()) != pp.size())
        throw std::invalid_argument("liquid_jacobian: sizes do not match the model");
    WorkLease lease;
    Work& w = lease.get();
    const double N = n.sum();
    VectorXd& x = w.x;
    x = n / N;
    VectorXd& n0 = w.n0;
    n0.noalias() = m.D * app;
    // idle: absent, in no reaction and not fed; it moves only with its own component
    std::vector<char>& idle = w.idle;
    idle.assign(static_cast<std::size_t>(ns), 0);
    std::vector<int>&dirs = w.dirs, &active = w.active;
    dirs.clear();
    active.clear();
    for (Index i = 0; i < ns; ++i) {
        idle[i] = n0[i] == 0.0 && n[i] == 0.0 && (m.nu.col(i).array() == 0.0).all();
        if (!idle[i]) active.push_back(static_cast<int>(i));
        // only the species whose amount can change need their column of d ln gamma / dn
        if (n[i] > 0.0 || (idle[i] && (m.D.row(i).array() != 0.0).any()))
            dirs.push_back(static_cast<int>(i));
    }
    dirs.push_back(static_cast<int>(ns));
    const Index nd = static_cast<Index>(dirs.size());
    MatrixXd &V = w.V, &P = w.P;
    V.setZero(ns + 1, nd);
    for (Index c = 0; c < nd; ++c) V(dirs[c], c) = 1.0;
    VectorXd &lng = w.lng, &Wlng = w.Wlng;
    lng.resize(ns);
    // nu d ln gamma / dn (the matrix) and nu d ln gamma / dT, from the gradient projected on the
    // reactions where that is cheaper than all of J (then d ln gamma follows along dn below)
    const bool project = !act.rows_free() && nr > 0 &&
                         passes(nd) * width(nr) + passes(nw) * width(ns) < passes(nd) * width(ns);
    MatrixXd &Jn = w.Jn, &nuJn = w.nuJn;
    nuJn.setZero(nr, ns);
    VectorXd &lng_T = w.lng_T, &nu_lng_T = w.nu_lng_T;
    MatrixXd& I = w.I;
    I.setIdentity(ns, ns);
    if (project) {
        act.directional(x, T, m.nu, V, Wlng, P);
        for (Index c = 0; c + 1 < nd; ++c) nuJn.col(dirs[c]) = P.col(c) / N;
        nu_lng_T = P.col(nd - 1);
    } else {
        act.directional(x, T, I, V, lng, P);
        Jn.setZero(ns, ns);  // degree -1: d ln gamma / dn at n
        for (Index c = 0; c + 1 < nd; ++c) Jn.col(dirs[c]) = P.col(c) / N;
        lng_T = P.col(nd - 1);
        nuJn.noalias() = m.nu * Jn;
        nu_lng_T.noalias() = m.nu * lng_T;
    }

    // the Henry references and their derivatives in T and (solvent reference) the solvents
    VectorXd &ref = w.ref, &dref_T = w.dref_T, &xw = w.xw;
    ref.setZero(ns);
    dref_T.setZero(ns);
    xw.resize(ns);
    MatrixXd &dref_x = w.dref_x, &Vr = w.Vr, &Wi = w.Wi;
    dref_x.setZero(ns, ns);
    Wi.resize(1, ns);
    Vr.setZero(ns + 1, solvent_ref ? static_cast<Index>(m.solv.size()) + 1 : 1);
    for (std::size_t k = 0; solvent_ref && k < m.solv.size(); ++k) Vr(m.solv[k], k) = 1.0;
    Vr(ns, Vr.cols() - 1) = 1.0;
    for (int i : m.henry) {
        xw.setConstant(kTrace);
        if (solvent_ref)
            for (int a : m.solv) xw[a] = x[a];
        else
            xw[m.water] = 1.0;
        reference_point(m, i, xw);
        Wi.setZero();
        Wi(0, i) = 1.0;
        act.directional(xw, T, Wi, Vr, Wlng, P);
        ref[i] = Wlng[0];
        dref_T[i] = P(0, P.cols() - 1);
        if (solvent_ref)
            for (std::size_t k = 0; k < m.solv.size(); ++k) dref_x(i, m.solv[k]) = P(0, k);
    }
    // nu d ref / dn, dx/dn = (I - x 1^T) / N
    if (solvent_ref && !m.henry.empty()) nuJn -= m.nu * ((dref_x.colwise() - dref_x * x) / N);

    // right-hand sides (T, then each component) and the matrix over the active species
    MatrixXd& rhs = w.rhs;
    rhs.setZero(nr + nb, nw);
    rhs.col(0).head(nr) = nu_lng_T - m.nu * dref_T;
    for (Index r = 0; r < nr; ++r) rhs(r, 0) -= dlnk_dT(m.lnK, r, T);
    rhs.bottomRightCorner(nb, nc) = -m.B * m.D;
    const Index na = static_cast<Index>(active.size());
    VectorXd& net = w.net;
    net = m.nu.rowwise().sum();
    MatrixXd& A = w.A;
    A.resize(nr + nb, na);
    for (Index c = 0; c < na; ++c) {
        const int j = active[c];
        A.col(c) << m.nu.col(j) - net * (n[j] / N) + nuJn.col(j) * n[j], m.B.col(j) * n[j];
    }
    const MatrixXd sol = solve(A, rhs);
    MatrixXd& dn = out.amounts;
    dn.setZero(ns, nw);
    for (Index c = 0; c < na; ++c) dn.row(active[c]) = -n[active[c]] * sol.row(c);
    for (Index i = 0; i < ns; ++i)
        if (idle[i]) dn.row(i).tail(nc) = m.D.row(i);
    MatrixXd& dlng = out.ln_gamma;
    if (project) {  // d ln gamma = J dn + dT dT/dtheta, along the columns of dn
        MatrixXd V2(ns + 1, nw);
        V2.topRows(ns) = dn / N;
        V2.row(ns).setZero();
        V2(ns, 0) = 1.0;
        act.directional(x, T, I, V2, lng, dlng);
    } else {
        dlng.noalias() = Jn * dn;
        dlng.col(0) += lng_T;
    }

    // d ln n (0 for an absent species), d N, d x
    VectorXd& inv_n = w.inv_n;
    inv_n.resize(ns);
    for (Index i = 0; i < ns; ++i) inv_n[i] = n[i] > 0.0 ? 1.0 / n[i] : 1.0;
    MatrixXd &dlnn = w.dlnn, &dx = w.dx;
    dlnn.noalias() = inv_n.asDiagonal() * dn;
    RowVectorXd& dN = w.dN;
    dN = dn.colwise().sum();
    dx = (dn - x * dN) / N;

    // partial pressures: d ln f = d ln x + d ln gamma + d ln (H/gamma_inf)_mix or d ln Psat
    const Index nv = static_cast<Index>(vol.size());
    out.partial_pressures.resize(nv, nw);
    MatrixXd& V_T = w.V_T;
    V_T.setZero(ns + 1, 1);
    V_T(ns, 0) = 1.0;
    for (Index k = 0; k < nv; ++k) {
        const int i = vol[k];
        RowVectorXd& dl = w.dl;
        dl = dlnn.row(i) - dN / N + dlng.row(i);
        if (!m.pairs[i].empty()) {
            double num = 0.0, den = 0.0, dnum_T = 0.0;
            RowVectorXd& dnum = w.dnum;
            dnum.setZero(nw);
            for (const auto& p : m.pairs[i]) {
                double lng_inf = ref[i], dlng_inf = dref_T[i];
                if (solvent_ref || p.solvent != m.water) {  // else the water reference above
                    xw.setConstant(kTrace);
                    xw[p.solvent] = 1.0;
                    reference_point(m, i, xw);
                    Wi.setZero();
                    Wi(0, i) = 1.0;
                    act.directional(xw, T, Wi, V_T, Wlng, P);
                    lng_inf = Wlng[0];
                    dlng_inf = P(0, 0);
                }
                const double w = x[p.solvent] * p.vc23, g = henry_ln_h(p.lnH, T) - lng_inf;
                num += w * g;
                den += w;
                dnum_T += w * (dln_henry(p.lnH, T) - dlng_inf);
                dnum += p.vc23 * g * dx.row(p.solvent);
            }
            const double h = num / den;
            // d h = sum_a Vc_a^(2/3) (g_a - h) dx_a / den
            RowVectorXd& dh = w.dh;
            dh = dnum;
            for (const auto& p : m.pairs[i]) dh -= p.vc23 * h * dx.row(p.solvent);
            dl += dh / den;
            dl[0] += dnum_T / den;
        } else if (!m.antoine[i].empty()) {
            dl[0] += dln_antoine(m.antoine[i], T);
        } else {
            throw std::invalid_argument(
                "liquid_jacobian: a volatile species has no vapor pressure");
        }
        out.partial_pressures.row(k) = pp[k] * dl;
    }

    out.pH.resize(0);
    if (m.h3o >= 0 && n[m.h3o] > 0.0) {
        const int h = m.h3o, w = m.water;
        out.pH = -(dlnn.row(h) - dlnn.row(w) + dlng.row(h) - dlng.row(w)) / std::log(10.0);
    }
    const double kg_w = n[m.water] * m.mw_water / 1000.0;
    out.molality = (n / kg_w).asDiagonal() * (dlnn.rowwise() - dlnn.row(m.water));
    // SI = (nu (ln x + ln gamma) - ln Ksp(T)) / ln 10
    out.saturation_indices = m.si_nu * ((dlnn.rowwise() - dN / N) + dlng);
    for (Index s = 0; s < m.si_nu.rows(); ++s)
        out.saturation_indices(s, 0) -= dlnk_dT(m.si_lnK, s, T);
    out.saturation_indices /= std::log(10.0);
}

}  // namespace brinequil::core
