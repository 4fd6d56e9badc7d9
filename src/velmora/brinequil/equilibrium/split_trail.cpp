#include "equilibrium/split_trail.hpp"

#include <utility>

namespace brinequil::core {

namespace {
double pick(const TPFlashResult& r, TrailEntry key) {
    return key == TrailEntry::H ? r.H : key == TrailEntry::S ? r.S : r.beta;
}
}  // namespace

double SplitTrail::value(const Eigen::VectorXd& z, Eigen::Index ncomp, double T, double P,
                         TrailEntry key, TrailFlash& flash) {
    if (std::optional<TPFlashResult> r =
            begin(z, ncomp, kFlashTol, flash.flash_hooks(), kFirstSteps, T))
        return pick(*r, key);
    if (SplitStart* start = start_at(T))
        if (std::optional<TPFlashResult> r = near(z, P, key, flash, *start)) {
            advance(T);
            return pick(*r, key);
        }
    const TPFlashResult r = flash.run(z);
    keep(r, T, flash.newton_split());
    return pick(r, key);
}

std::optional<TPFlashResult> SplitTrail::near(const Eigen::VectorXd& z, double P, TrailEntry key,
                                              TrailFlash& flash, SplitStart& start) {
    try {
        if (!vol_) vol_ = flash.volatiles(z);
        TPFlashResult r;
        if (flash_near(z, P, *vol_, flash.split_hooks(), flash.flash_hooks(), start, r,
                       key == TrailEntry::H ? &r.H : nullptr,
                       key == TrailEntry::S ? &r.S : nullptr))
            return r;
        return std::nullopt;
    } catch (const std::exception& e) {
        if (!flash.recoverable(e)) throw;
    }
    return std::nullopt;
}

std::optional<TPFlashResult> SplitTrail::begin(const Eigen::VectorXd& z, Eigen::Index ncomp,
                                               double tol, const TPFlashHooks& hooks, int steps,
                                               double T) {
    if (start_) return std::nullopt;
    Substitution sub = substitute(z, ncomp, tol, hooks, steps);
    if (sub.settled) {
        TPFlashResult r = finish_flash(std::move(sub), tol, hooks);
        keep(r, T, nullptr);
        return r;
    }
    if (0.0 < sub.beta && sub.beta < 1.0 && sub.err >= tol) {
        start_.emplace();
        start_->v0 = sub.beta * sub.y;
    }
    return std::nullopt;
}

SplitStart* SplitTrail::start_at(double T) {
    if (!start_) return nullptr;
    at_last_s_ = start_->s;
    if (last_T_ && last_s_.size() == start_->s.size() && start_->s.size() && T_ != *last_T_)
        start_->s += (start_->s - last_s_) * ((T - T_) / (T_ - *last_T_));
    return &*start_;
}

void SplitTrail::advance(double T) {
    last_T_ = T_;
    last_s_ = at_last_s_;
    T_ = T;
}

void SplitTrail::keep(const TPFlashResult& r, double T, const SplitResult* split) {
    start_.reset();
    last_T_.reset();
    T_ = T;
    if (0.0 < r.beta && r.beta < 1.0) {
        start_.emplace();
        start_->v0 = r.beta * r.y;
        if (split && split->s.size()) {
            start_->s = split->s;
            start_->J = split->jac;
        }
    }
}

bool flash_near(const Eigen::VectorXd& z, double P, const std::vector<char>& vol,
                const SplitHooks& split, const TPFlashHooks& hooks, SplitStart& start,
                TPFlashResult& r, double* H, double* S) {
    SplitResult s;
    if (!split_near(z, P, vol, split, start, s)) return false;
    r.beta = s.beta;
    phase_energies(s.beta, s.x, s.y, s.n, hooks, H, S);
    return true;
}

}  // namespace brinequil::core
