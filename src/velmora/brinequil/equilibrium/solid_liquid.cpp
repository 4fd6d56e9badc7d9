// Solid-liquid equilibrium of one set of present solids, for velmora.solids (private binding
// Electrolyte._solid_newton): the speciation's equations and the solids' saturation conditions
// solved together by Newton's method in (ln n, solid amounts).
//
// Unknowns u = ln n (species) and s (mol of each present solid); residuals
//   f_eq = nu (ln x + lng - ref) - lnK                (equilibrium reactions, as the speciation)
//   f_b  = (B exp(u) + B nu_s^T s - B n0) / tot       (invariants of the feed: liquid + solids)
//   f_s  = nu_s (ln x + lng) - ln Ksp                 (saturation: SI ln 10 of each solid)
// First with ln gamma held at the start's (the speciation's inner Newton, without the activity
// model), then with ln gamma evaluated at every iterate: the derivative carries d lng / d ln n
// by forward differences of the activity model over the major species (a minor species' column
// is of the order of its mole fraction), carried on by Broyden's update and renewed where a
// step converges slowly; the Henry reference's derivative is left out (the solids dissolve into
// ions). A caller that follows a path may hand the derivative a neighbouring solve of the same
// set left (`carried`): the first stage then takes ln gamma linear in ln n about the start
// (held + that derivative times the change), no call of the model either, so that the second
// starts within the model's curvature of the answer, from that derivative, without
// differences. The step solves the linear system by LU where that solves it to rounding, else by
// the speciation's minimum-norm least squares; it is limited to a change of 2 in any ln n and
// halved until the residual falls.
#include "equilibrium/solid_liquid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "model/errors.hpp"
#include "model/least_squares.hpp"

namespace brinequil::core {

void check_solid_inputs(Eigen::Index ns, const Eigen::VectorXd& n0, const Eigen::VectorXd& n,
                        const Eigen::VectorXd& lng, Eigen::Index nus_cols, Eigen::Index k,
                        const Eigen::VectorXd& ln_ksp, const Eigen::VectorXd& s) {
    if (n0.size() != ns || n.size() != ns || lng.size() != ns || nus_cols != ns ||
        ln_ksp.size() != k || s.size() != k)
        throw ValueError(
            "_solid_newton: n0, n, lng and the rows of nu_s need one entry "
            "per species, ln_ksp and s one per solid");
    if (!(n.array() > 0.0).all()) throw ValueError("_solid_newton: n must be positive");
}

namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

constexpr double kMaxStep = 2.0;    // largest change of any ln n in one step
constexpr double kTraceX = 1e-8;    // mole fraction below which a species' effect on ln gamma
                                    // is left out of the derivative
constexpr double kFdStep = 1e-7;    // step in ln n of the differences of ln gamma
constexpr double kMinorX = 1e-3;    // mole fraction below which a species' column of d lng / du
                                    // (of the order of its mole fraction) is left to Broyden's
                                    // update
constexpr double kSlow = 0.5;       // a step that cuts the residual less than this renews them
constexpr double kLuCheck = 1e-10;  // |J dz + F| / |F| up to which the LU's step is taken
constexpr double kHeldTol = 1e-8;   // to which the stage with ln gamma held is solved
constexpr int kHalvings = 12;       // of a step that does not lower the residual
constexpr int kHeldIts = 30;        // steps of the stage with ln gamma held before it is given
                                    // up as not converging (a set with no answer near the start
                                    // crawls there by halved steps)
constexpr double kFloor = 1e-14;    // amount per unit total of a species held absent (the
                                    // speciation's floor of a warm start)
constexpr double kZero = 1e-12;     // a coefficient of B below this is 0

class JointNewton {
public:
    JointNewton(const Stoichiometry& st, const VectorXd& n0, const VectorXd& lnK,
                const MatrixXd& nus, const VectorXd& ln_ksp, SolidLiquidModel& model, bool henry,
                bool ref_follows_x)
        : st_(st),
          lnK_(lnK),
          nus_(nus),
          ln_ksp_(ln_ksp),
          model_(model),
          henry_(henry),
          follows_(ref_follows_x),
          ns_(st.n_species()),
          neq_(st.n_eq()),
          m_(st.B.rows()),
          k_(nus.rows()),
          rows_(neq_ + m_ + k_),
          cols_(ns_ + k_) {
        tot_ = n0.sum();
        B_ = st.B;
        net_s_ = nus.rowwise().sum();
        for (VectorXd* v : {&en_, &x_, &lng_, &ref_, &t_, &trial_u_, &lng2_, &xp_}) v->resize(ns_);
        F_.resize(rows_);
        F2_.resize(rows_);
        rhs_.resize(rows_);
        dz_.resize(cols_);
        J_.resize(rows_, cols_);
        P_.setZero(neq_ + k_, ns_);
        dphi_.resize(neq_ + k_);
        du_.resize(ns_);
        dl_.resize(ns_);
        s_new_.resize(k_);
        ref_.setZero();
        if (henry_ && !follows_) model_.henry_ref(nullptr, ref_);
        // Species absent from the feed that no reaction and no solid makes (the salts of a
        // complete dissociation): their amount is an invariant of its own, 0, which ln n reaches
        // only by steps of -1. The invariants are turned (orthogonally: the same equations)
        // so that the amount of each such species is one of them; the species is held at the
        // speciation's floor and that row left out.
        for (Index j = 0; j < ns_ && Index(frozen_.size()) < m_; ++j) {
            const Index q = static_cast<Index>(frozen_.size());
            if (st.nu.col(j).cwiseAbs().maxCoeff() > 0.0 ||
                nus.col(j).cwiseAbs().maxCoeff() > 0.0 || std::abs(n0[j]) > kZero * tot_)
                continue;
            // e_j lies in the span of the invariants (no reaction moves species j): the rows
            // q.. of B's column j have norm 1; a Householder reflection over those rows (or a
            // swap, where one row is e_j already) takes that column to a unit vector at row q,
            // and so row q to e_j
            const double norm = B_.col(j).tail(m_ - q).norm();
            if (std::abs(norm - 1.0) > 1e-9) continue;
            Index at = q;
            if (B_.col(j).tail(m_ - q).cwiseAbs().maxCoeff(&at) > 1.0 - kZero) {
                B_.row(q).swap(B_.row(q + at));  // a row of its own already (the salts)
            } else {
                VectorXd v = B_.col(j).tail(m_ - q);
                v[0] += v[0] >= 0.0 ? norm : -norm;
                auto rows = B_.bottomRows(m_ - q);
                rows -= (2.0 / v.squaredNorm()) * v * (v.transpose() * rows);
            }
            B_.row(q).setZero();  // what the reflection leaves there, to rounding
            B_.col(j).setZero();
            B_(q, j) = 1.0;
            frozen_.emplace_back(q, j);
        }
        b_ = B_ * n0;
        Bs_ = B_ * nus.transpose();
        live_rows_.reserve(static_cast<std::size_t>(rows_));
        live_cols_.reserve(static_cast<std::size_t>(cols_));
        for (Index r = 0; r < rows_; ++r) live_rows_.push_back(r);
        for (Index c = 0; c < cols_; ++c) live_cols_.push_back(c);
        for (const auto& [q, j] : frozen_) {
            live_rows_.erase(std::find(live_rows_.begin(), live_rows_.end(), neq_ + q));
            live_cols_.erase(std::find(live_cols_.begin(), live_cols_.end(), j));
        }
        const auto live = static_cast<Index>(live_cols_.size());
        Jr_.resize(live, live);
        factors_.resize(live, live);
        perm_.resize(static_cast<std::size_t>(live));
        rr_.resize(live);
        dr_.resize(live);
        lu_work_.resize(live);
        scale_.setOnes(rows_);
        scale_.head(neq_) += lnK_.cwiseAbs();
        scale_.tail(k_) += ln_ksp_.cwiseAbs();
    }

    // From the true amounts n (ln gamma lng0) and solid amounts s; returns the status, leaves
    // the answer in n, lng(), s. First with ln gamma held at lng0 (cheap steps without the
    // activity model, as the speciation's inner Newton) to kHeldTol, then with it. `carried`
    // (or null): the derivative P of a neighbouring solve of the same set, rows (nu; nu_s),
    // used where finite and of P's shape (ln gamma linear about the start in the first stage,
    // the second's derivative until a slow step renews it); given back as the solve leaves it
    // where it converged from one, else NaN (an answer at the start takes none).
    SolidStatus solve(VectorXd& n, const VectorXd& lng0, VectorXd& s, double tol, int maxit,
                      int& iterations, MatrixXd* carried) {
        VectorXd u = n.array().log();
        for (const auto& [q, j] : frozen_) u[j] = std::min(u[j], std::log(kFloor * tot_));
        const VectorXd u0 = u, s0 = s;
        held_ = lng0;
        held_on_ = true;
        linear_on_ = carried && carried->rows() == P_.rows() && carried->cols() == P_.cols() &&
                     carried->allFinite();
        have_p_ = linear_on_;
        if (linear_on_) {
            P_ = *carried;
            u_held_ = u0;
        } else {
            P_.setZero();
        }
        int first = 0, second = 0;
        const bool held =
            iterate(u, s, kHeldTol, std::min(maxit, kHeldIts), first) == kSolidConverged;
        if (!held && first >= kHeldIts) maxit = first;  // crawling: no answer near the start
        if (!held) {
            u = u0;  // from the start again
            s = s0;
        }
        held_on_ = false;
        // the carried derivative goes on where the first stage converged with it
        renew_first_ = !(linear_on_ && held);
        linear_on_ = false;
        const SolidStatus status = iterate(u, s, tol, maxit - first, second);
        iterations = first + second;
        n = u.array().exp();
        if (carried) {
            if (status == kSolidConverged && have_p_)
                *carried = P_;
            else
                carried->setConstant(std::numeric_limits<double>::quiet_NaN());
        }
        return status;
    }

    const VectorXd& lng() const { return lng_; }

private:
    SolidStatus iterate(VectorXd& u, VectorXd& s, double tol, int maxit, int& iterations) {
        double norm = residual(u, s, lng_, F_);
        bool renew = !held_on_ && renew_first_;
        for (iterations = 0; iterations < maxit; ++iterations) {
            if (!std::isfinite(norm)) return kSolidDiverged;
            if (within(tol)) return kSolidConverged;
            if (renew) gamma_derivative(u);
            jacobian();
            rhs_ = -F_;
            if (!J_.allFinite()) return kSolidDiverged;
            // LU where it solves J dz = -F to rounding; else the speciation's own least squares
            // (trace species make J ill-conditioned)
            bool solved = false;
            if (rows_ == cols_) {
                // without the held species' rows and columns (their step is 0)
                Jr_ = J_(live_rows_, live_cols_);
                rr_ = rhs_(live_rows_);
                factors_ = Jr_;  // the speciation's own small LU (partial pivoting), in place
                const Index live = Jr_.rows();
                if (dense_lu_factor(factors_.data(), live, perm_.data()) > 0.0) {
                    for (Index i = 0; i < live; ++i)
                        dr_[i] = rr_[perm_[static_cast<std::size_t>(i)]];
                    dense_lu_substitute(factors_.data(), live, dr_.data(), lu_work_.data());
                    chk_.noalias() = Jr_ * dr_;
                    chk_ -= rr_;
                    solved = dr_.allFinite() &&
                             chk_.cwiseAbs().maxCoeff() <= kLuCheck * rr_.cwiseAbs().maxCoeff();
                }
                dz_.setZero();
                dz_(live_cols_) = dr_;
            }
            if (!solved) {
                if (!lsq_) lsq_.emplace(rows_, cols_);  // its work arrays only where needed
                if (!lsq_->solve(J_, rhs_, dz_)) return kSolidDiverged;
            }
            if (!dz_.allFinite()) return kSolidDiverged;
            const double big = dz_.head(ns_).cwiseAbs().maxCoeff();
            double lam = std::min(1.0, kMaxStep / std::max(big, 1e-300));
            // within ten times the tolerance the residuals are at their rounding: a step that
            // does not lower them ends the solve
            const bool rounding = within(10.0 * tol);
            double trial = 0.0;
            for (int h = 0; h <= kHalvings; ++h, lam *= 0.5) {
                trial_u_ = u + lam * dz_.head(ns_);
                s_new_ = s + lam * dz_.tail(k_);
                trial = residual(trial_u_, s_new_, lng2_, F2_);
                if (trial < (1.0 - 1e-4 * lam) * norm || rounding) break;
            }
            if (!(trial < norm)) {
                if (!rounding && !renew && !held_on_) {  // a stale derivative of ln gamma:
                    renew = true;                        // renew it first
                    continue;
                }
                return rounding ? kSolidConverged : kSolidNotConverged;
            }
            renew = !held_on_ && trial > kSlow * kSlow * norm;  // norms are squared
            if (!renew && !held_on_) {
                du_ = trial_u_ - u;
                dl_ = lng2_ - lng_;
                broyden();
            }
            u = trial_u_;
            s = s_new_;
            norm = trial;
            std::swap(lng_, lng2_);
            std::swap(F_, F2_);
        }
        return within(tol) ? kSolidConverged : kSolidNotConverged;
    }

    // Broyden's update of the ln gamma part: P du = the change of (nu; nu_s) lng over a step,
    // du_ its change of ln n over the species the differences take (a trace species' ln n
    // moves by whole units where its ln gamma does not see it), dl_ that of ln gamma. In place,
    // without a temporary (the step's scale put on dphi_ first).
    void broyden() {
        for (Index j = 0; j < ns_; ++j)
            if (!(x_[j] > kTraceX)) du_[j] = 0.0;
        const double dd = du_.squaredNorm();
        dphi_.head(neq_).noalias() = st_.nu * dl_;
        dphi_.tail(k_).noalias() = nus_ * dl_;
        dphi_.noalias() -= P_ * du_;
        dphi_ /= dd;
        P_.noalias() += dphi_ * du_.transpose();
    }

    // Every residual below tol times its scale: 1 + |ln K| of a reaction or a solid (the
    // rounding of its sum of logarithms), 1 of an invariant (relative already).
    bool within(double tol) const {
        for (Index r = 0; r < rows_; ++r)
            if (!(std::abs(F_[r]) < tol * scale_[r])) return false;
        return true;
    }

    // The residuals at (u, s) into F with ln gamma into lng; en_, x_ set. Returns |F|^2.
    double residual(const VectorXd& u, const VectorXd& s, VectorXd& lng, VectorXd& F) {
        en_ = u.array().exp();
        const double N = en_.sum();
        x_ = en_ / N;
        if (!x_.allFinite()) return std::numeric_limits<double>::infinity();  // a step too far
        if (held_on_)
            lng = held_;
        else
            model_.ln_gamma(x_, lng);
        if (henry_ && follows_) model_.henry_ref(&x_, ref_);
        const double lnN = std::log(N);
        t_ = (u.array() - lnN) + lng.array();
        F.segment(neq_ + m_, k_).noalias() = nus_ * t_;
        F.segment(neq_ + m_, k_) -= ln_ksp_;
        t_ -= ref_;
        F.head(neq_).noalias() = st_.nu * t_;
        F.head(neq_) -= lnK_;
        if (linear_on_) {  // (nu; nu_s) ln gamma linear about the start
            du_ = u - u_held_;
            F.head(neq_).noalias() += P_.topRows(neq_) * du_;
            F.segment(neq_ + m_, k_).noalias() += P_.bottomRows(k_) * du_;
        }
        F.segment(neq_, m_).noalias() = B_ * en_;
        F.segment(neq_, m_).noalias() += Bs_ * s;
        F.segment(neq_, m_) = (F.segment(neq_, m_) - b_) / tot_;
        for (const auto& [q, j] : frozen_) F[neq_ + q] = 0.0;
        return F.squaredNorm();
    }

    // G(i, j) = d lng_i / d u_j at u (lng_ is ln gamma there) by forward differences.
    // ln gamma is homogeneous of degree 0 in n: the columns of G sum to 0, so that the column
    // of the most abundant species (water) is minus the others' (one call of the model less).
    void gamma_derivative(const VectorXd& u) {
        en_ = u.array().exp();
        const double N = en_.sum();
        P_.setZero();
        Index most = 0;
        en_.maxCoeff(&most);
        for (Index j = 0; j < ns_; ++j) {
            if (j == most || !(en_[j] > kMinorX * N)) continue;
            const double dn = en_[j] * std::expm1(kFdStep);
            xp_ = en_ / (N + dn);
            xp_[j] = (en_[j] + dn) / (N + dn);
            model_.ln_gamma(xp_, lng2_);
            dl_ = (lng2_ - lng_) / kFdStep;
            P_.col(j).head(neq_).noalias() = st_.nu * dl_;
            P_.col(j).tail(k_).noalias() = nus_ * dl_;
        }
        P_.col(most) = -P_.rowwise().sum();
        have_p_ = true;
        x_ = en_ / N;
    }

    void jacobian() {
        // d(ln x + lng)/du = I - 1 x^T + G, through nu (reactions) and nu_s (solids)
        // block by block (the same arithmetic, element by element, as a loop over them)
        J_.topLeftCorner(neq_, ns_) = P_.topRows(neq_) + (st_.nu - st_.net * x_.transpose());
        J_.bottomLeftCorner(k_, ns_) = P_.bottomRows(k_) + (nus_ - net_s_ * x_.transpose());
        J_.block(neq_, 0, m_, ns_) =
            (B_.array().rowwise() * en_.transpose().array() / tot_).matrix();
        J_.topRightCorner(neq_, k_).setZero();
        J_.block(neq_, ns_, m_, k_) = Bs_ / tot_;
        J_.bottomRightCorner(k_, k_).setZero();
        for (const auto& [q, j] : frozen_) {
            J_.row(neq_ + q).setZero();
            J_(neq_ + q, j) = 1.0;
        }
    }

    const Stoichiometry& st_;
    const VectorXd& lnK_;
    const MatrixXd& nus_;
    const VectorXd& ln_ksp_;
    SolidLiquidModel& model_;
    bool henry_, follows_;
    Index ns_, neq_, m_, k_, rows_, cols_;
    std::optional<LeastSquares> lsq_;
    std::vector<Index> live_rows_, live_cols_;  // J without the held species
    MatrixXd Jr_, factors_;                     // factors_: Jr_'s LU
    std::vector<Index> perm_;
    VectorXd rr_, dr_, lu_work_;
    VectorXd chk_, s_new_, scale_, held_;
    bool held_on_ = false;     // ln gamma held at held_ (the first stage of solve)
    bool linear_on_ = false;   // ... plus P_ (u - u_held_): a carried derivative
    bool renew_first_ = true;  // the second stage starts with differences
    bool have_p_ = false;      // P_ holds a derivative (carried, or by differences)
    VectorXd u_held_;
    VectorXd b_, net_s_, en_, x_, lng_, ref_, t_, trial_u_, lng2_, xp_, F_, F2_, rhs_, dz_, du_,
        dl_, dphi_;
    // (nu; nu_s) d lng / du: by differences where renewed, by Broyden's update in between
    MatrixXd B_, Bs_, J_, P_;  // B_: the speciation's invariants, turned (see the constructor)
    double tot_ = 0.0;
    std::vector<std::pair<Index, Index>> frozen_;  // (invariant row, species) held at the floor
};

}  // namespace

SolidStatus solve_solid_liquid(const Stoichiometry& st, const VectorXd& n0, const VectorXd& lnK,
                               const MatrixXd& nus, const VectorXd& ln_ksp, SolidLiquidModel& model,
                               bool henry, bool ref_follows_x, VectorXd& n, VectorXd& lng,
                               VectorXd& s, double tol, int maxit, int& iterations,
                               MatrixXd* carried) {
    JointNewton solver(st, n0, lnK, nus, ln_ksp, model, henry, ref_follows_x);
    const SolidStatus status = solver.solve(n, lng, s, tol, maxit, iterations, carried);
    lng = solver.lng();
    return status;
}

}  // namespace brinequil::core
