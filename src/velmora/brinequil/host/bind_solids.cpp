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
// ions). The step solves the linear system by LU where that solves it to rounding, else by the
// speciation's minimum-norm least squares; it is limited to a change of 2 in any ln n and
// halved until the residual falls.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/activity.hpp"
#include "host/convert.hpp"
#include "host/electrolyte.hpp"
#include "host/model_api.hpp"
#include "model/errors.hpp"
#include "model/least_squares.hpp"

namespace brinequil::host {

namespace {

using DArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
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
constexpr double kFloor = 1e-14;    // amount per unit total of a species held absent (the
                                    // speciation's floor of a warm start)
constexpr double kZero = 1e-12;     // a coefficient of B below this is 0

// How a solve ended (the Python side falls back to its own method on anything but kConverged).
enum Status { kConverged = 0, kNotConverged = 1, kDiverged = 2, kOverridden = 3 };

class JointNewton {
public:
    JointNewton(const core::Stoichiometry& st, const VectorXd& n0, const VectorXd& lnK,
                const MatrixXd& nus, const VectorXd& ln_ksp, Activity& act, double T,
                const Electrolyte& el, bool henry, bool ref_follows_x)
        : st_(st),
          lnK_(lnK),
          nus_(nus),
          ln_ksp_(ln_ksp),
          act_(act),
          el_(el),
          T_(T),
          henry_(henry),
          follows_(ref_follows_x),
          ns_(st.n_species()),
          neq_(st.n_eq()),
          m_(st.B.rows()),
          k_(nus.rows()),
          rows_(neq_ + m_ + k_),
          cols_(ns_ + k_),
          lu_(0) {
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
        if (henry_ && !follows_) ref_ = henry_ref(el_, T_, nullptr);
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
        for (Index r = 0; r < rows_; ++r) live_rows_.push_back(r);
        for (Index c = 0; c < cols_; ++c) live_cols_.push_back(c);
        for (const auto& [q, j] : frozen_) {
            live_rows_.erase(std::find(live_rows_.begin(), live_rows_.end(), neq_ + q));
            live_cols_.erase(std::find(live_cols_.begin(), live_cols_.end(), j));
        }
        const auto live = static_cast<Index>(live_cols_.size());
        Jr_.resize(live, live);
        lu_ = Eigen::PartialPivLU<MatrixXd>(live);
        scale_.setOnes(rows_);
        scale_.head(neq_) += lnK_.cwiseAbs();
        scale_.tail(k_) += ln_ksp_.cwiseAbs();
    }

    // From the true amounts n (ln gamma lng0) and solid amounts s; returns the status, leaves
    // the answer in n, lng(), s. First with ln gamma held at lng0 (cheap steps without the
    // activity model, as the speciation's inner Newton) to kHeldTol, then with it.
    Status solve(VectorXd& n, const VectorXd& lng0, VectorXd& s, double tol, int maxit,
                 int& iterations) {
        VectorXd u = n.array().log();
        for (const auto& [q, j] : frozen_) u[j] = std::min(u[j], std::log(kFloor * tot_));
        const VectorXd u0 = u, s0 = s;
        held_ = lng0;
        held_on_ = true;
        P_.setZero();
        int first = 0, second = 0;
        if (iterate(u, s, kHeldTol, maxit, first) != kConverged) {
            u = u0;  // from the start again
            s = s0;
        }
        held_on_ = false;
        const Status status = iterate(u, s, tol, maxit - first, second);
        iterations = first + second;
        n = u.array().exp();
        return status;
    }

    const VectorXd& lng() const { return lng_; }

private:
    Status iterate(VectorXd& u, VectorXd& s, double tol, int maxit, int& iterations) {
        double norm = residual(u, s, lng_, F_);
        bool renew = !held_on_;
        for (iterations = 0; iterations < maxit; ++iterations) {
            if (!std::isfinite(norm)) return kDiverged;
            if (within(tol)) return kConverged;
            if (renew) gamma_derivative(u);
            jacobian();
            rhs_ = -F_;
            if (!J_.allFinite()) return kDiverged;
            // LU where it solves J dz = -F to rounding; else the speciation's own least squares
            // (trace species make J ill-conditioned)
            bool solved = false;
            if (rows_ == cols_) {
                // without the held species' rows and columns (their step is 0)
                Jr_ = J_(live_rows_, live_cols_);
                rr_ = rhs_(live_rows_);
                lu_.compute(Jr_);
                dr_.noalias() = lu_.solve(rr_);
                chk_.noalias() = Jr_ * dr_;
                chk_ -= rr_;
                solved = dr_.allFinite() &&
                         chk_.cwiseAbs().maxCoeff() <= kLuCheck * rr_.cwiseAbs().maxCoeff();
                dz_.setZero();
                dz_(live_cols_) = dr_;
            }
            if (!solved) {
                if (!lsq_) lsq_.emplace(rows_, cols_);  // its work arrays only where needed
                if (!lsq_->solve(J_, rhs_, dz_)) return kDiverged;
            }
            if (!dz_.allFinite()) return kDiverged;
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
                return rounding ? kConverged : kNotConverged;
            }
            renew = !held_on_ && trial > kSlow * kSlow * norm;  // norms are squared
            if (!renew && !held_on_) {
                // Broyden's update of the ln gamma part: P du = the change of (nu; nu_s) lng
                // over the species the differences take (a trace species' ln n moves by
                // whole units where its ln gamma does not see it)
                du_ = trial_u_ - u;
                for (Index j = 0; j < ns_; ++j)
                    if (!(x_[j] > kTraceX)) du_[j] = 0.0;
                dl_ = lng2_ - lng_;
                dphi_.head(neq_).noalias() = st_.nu * dl_;
                dphi_.tail(k_).noalias() = nus_ * dl_;
                dphi_.noalias() -= P_ * du_;
                P_.noalias() += dphi_ * (du_.transpose() / du_.squaredNorm());
            }
            u = trial_u_;
            s = s_new_;
            norm = trial;
            std::swap(lng_, lng2_);
            std::swap(F_, F2_);
        }
        return within(tol) ? kConverged : kNotConverged;
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
            act_.ln_gamma(x_, T_, lng);
        if (henry_ && follows_) ref_ = henry_ref(el_, T_, &x_);
        const double lnN = std::log(N);
        t_ = (u.array() - lnN) + lng.array();
        F.segment(neq_ + m_, k_).noalias() = nus_ * t_;
        F.segment(neq_ + m_, k_) -= ln_ksp_;
        t_ -= ref_;
        F.head(neq_).noalias() = st_.nu * t_;
        F.head(neq_) -= lnK_;
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
            act_.ln_gamma(xp_, T_, lng2_);
            dl_ = (lng2_ - lng_) / kFdStep;
            P_.col(j).head(neq_).noalias() = st_.nu * dl_;
            P_.col(j).tail(k_).noalias() = nus_ * dl_;
        }
        P_.col(most) = -P_.rowwise().sum();
        x_ = en_ / N;
    }

    void jacobian() {
        // d(ln x + lng)/du = I - 1 x^T + G, through nu (reactions) and nu_s (solids)
        J_.setZero();
        J_.block(0, 0, neq_, ns_) = P_.topRows(neq_);
        J_.block(neq_ + m_, 0, k_, ns_) = P_.bottomRows(k_);
        for (Index j = 0; j < ns_; ++j) {
            for (Index r = 0; r < neq_; ++r) J_(r, j) += st_.nu(r, j) - st_.net[r] * x_[j];
            for (Index c = 0; c < k_; ++c) J_(neq_ + m_ + c, j) += nus_(c, j) - net_s_[c] * x_[j];
            for (Index q = 0; q < m_; ++q) J_(neq_ + q, j) = B_(q, j) * en_[j] / tot_;
        }
        J_.block(neq_, ns_, m_, k_) = Bs_ / tot_;
        for (const auto& [q, j] : frozen_) {
            J_.row(neq_ + q).setZero();
            J_(neq_ + q, j) = 1.0;
        }
    }

    const core::Stoichiometry& st_;
    const VectorXd& lnK_;
    const MatrixXd& nus_;
    const VectorXd& ln_ksp_;
    Activity& act_;
    const Electrolyte& el_;
    double T_;
    bool henry_, follows_;
    Index ns_, neq_, m_, k_, rows_, cols_;
    std::optional<core::LeastSquares> lsq_;
    Eigen::PartialPivLU<MatrixXd> lu_;
    std::vector<Index> live_rows_, live_cols_;  // J without the held species
    MatrixXd Jr_;
    VectorXd rr_, dr_;
    VectorXd chk_, s_new_, scale_, held_;
    bool held_on_ = false;  // ln gamma held at held_ (the first stage of solve)
    VectorXd b_, net_s_, en_, x_, lng_, ref_, t_, trial_u_, lng2_, xp_, F_, F2_, rhs_, dz_, du_,
        dl_, dphi_;
    // (nu; nu_s) d lng / du: by differences where renewed, by Broyden's update in between
    MatrixXd B_, Bs_, J_, P_;  // B_: the speciation's invariants, turned (see the constructor)
    double tot_ = 0.0;
    std::vector<std::pair<Index, Index>> frozen_;  // (invariant row, species) held at the floor
};

py::tuple solid_newton(py::handle self, py::handle n0_obj, double T, py::handle nus_obj,
                       py::handle ln_ksp_obj, py::handle s_obj, py::handle n_obj,
                       py::handle lng_obj, double tol, int maxit) {
    Electrolyte& el = electrolyte(self);
    const core::Stoichiometry& st = *el.stoich;
    const Index ns = st.n_species();
    VectorXd n0 = to_vector(n0_obj, "n0"), ln_ksp = to_vector(ln_ksp_obj, "ln_ksp"),
             s = to_vector(s_obj, "s"), n = to_vector(n_obj, "n"), lng = to_vector(lng_obj, "lng");
    DArray a = DArray::ensure(nus_obj);
    if (!a || a.ndim() != 2)
        throw core::TypeError("nu_s: a two-dimensional array of numbers is required");
    const Index k = a.shape(0);
    if (n0.size() != ns || n.size() != ns || lng.size() != ns || a.shape(1) != ns ||
        ln_ksp.size() != k || s.size() != k)
        throw core::ValueError(
            "_solid_newton: n0, n, lng and the rows of nu_s need one entry "
            "per species, ln_ksp and s one per solid");
    if (!(n.array() > 0.0).all()) throw core::ValueError("_solid_newton: n must be positive");
    auto done = [&](Status status, int its) {
        return py::make_tuple(to_numpy(n), to_numpy(lng), to_numpy(s), static_cast<int>(status),
                              its);
    };
    // the speciation's own methods only: a Python override would not be seen here
    if (python_override(self, "true_amounts") || python_override(self, "lnK") ||
        python_override(self, "henry_ref"))
        return done(kOverridden, 0);
    const MatrixXd nus =
        Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
            a.data(), k, ns);
    const VectorXd lnK = ln_k(el, T);
    const bool henry = !species_sets(el, kSpHenry).henry.empty();
    py::object mode = el.options.attr("get")("henry_ref");
    const std::string m = py::isinstance<py::str>(mode) ? mode.cast<std::string>() : "";
    const bool follows = m == "solvent" || m == "mixture";
    Activity act(el.sp, el.options);
    JointNewton solver(st, n0, lnK, nus, ln_ksp, act, T, el, henry, follows);
    int its = 0;
    Status status;
    if (!henry && act.native(ns)) {
        py::gil_scoped_release nogil;
        status = solver.solve(n, lng, s, tol, maxit, its);
    } else {
        status = solver.solve(n, lng, s, tol, maxit, its);
    }
    lng = solver.lng();
    return done(status, its);
}

}  // namespace

void bind_solids(py::module_&, ElectrolyteClass& cls) {
    cls.def("_solid_newton", &solid_newton, py::arg("n0"), py::arg("T"), py::arg("nu_s"),
            py::arg("ln_ksp"), py::arg("s"), py::arg("n"), py::arg("lng"), py::arg("tol") = 1e-14,
            py::arg("maxit") = 60,
            "The liquid and the amounts of a set of solids in equilibrium with it: Newton's "
            "method on the speciation's equations and the solids' saturation together, from "
            "the true amounts n (ln gamma lng) and solid amounts s. n0: the feed on the "
            "species; nu_s: the solids' dissolution into the species (a row each); ln_ksp: "
            "their ln Ksp (mole-fraction basis). Returns (n, lng, s, status, iterations), "
            "status 0 converged (every residual below tol, or below 10 tol where no step "
            "lowers them), 1 not converged, 2 diverged, 3 a method of the model replaced in "
            "Python (nothing done)");
}

}  // namespace brinequil::host
