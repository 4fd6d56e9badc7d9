// The TP flashes of one temperature solve (a flash at a given H, S or vapor fraction), as the
// solver asks for them one temperature after the other. After a two-phase flash the next one
// starts its split from that solution and its Jacobian (split_near): a few speciations instead
// of a whole flash's. The full TP flash runs where the trail has no start or its split fails,
// and starts the trail again (keep).
#pragma once
#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <vector>

#include <Eigen/Dense>

#include "equilibrium/flash.hpp"

namespace brinequil::core {

// The quantity of a flash that a temperature solve meets: H, S or the vapor fraction.
enum class TrailEntry { H, S, Beta };

// The TP flash at one temperature of a solve as the trail drives it (the host makes one for
// each temperature; what it calls may call Python).
class TrailFlash {
public:
    virtual ~TrailFlash() = default;
    virtual const TPFlashHooks& flash_hooks() = 0;
    // the hooks of a split at the flash's T and P
    virtual const SplitHooks& split_hooks() = 0;
    // the full TP flash of z (tolerance kFlashTol), and its Newton split when that ran
    virtual TPFlashResult run(const Eigen::VectorXd& z) = 0;
    virtual const SplitResult* newton_split() const = 0;
    // the volatile components of a split of z (asked for once per trail)
    virtual std::vector<char> volatiles(const Eigen::VectorXd& z) = 0;
    // An error of a split from the trail's start (or of volatiles) after which the full TP flash
    // decides; any other passes (an interrupt).
    virtual bool recoverable(const std::exception& e) const = 0;
};

class SplitTrail {
public:
    // The entry `key` of the flash of z (ncomp components) at T, P: a first flash's substitution
    // steps and their flash when they settle, else the split from the trail's start (a first
    // flash's from its substitution, its Jacobian by differences), else the full TP flash.
    double value(const Eigen::VectorXd& z, Eigen::Index ncomp, double T, double P, TrailEntry key,
                 TrailFlash& flash);

    // Without a split to start from (a first flash, or after a one-phase one): `steps`
    // substitution steps at T. Their flash when they settle (kept); else nothing, the split
    // starting from their vapor when they end strictly inside (0, 1) unconverged. Nothing is
    // done when the trail has a start.
    std::optional<TPFlashResult> begin(const Eigen::VectorXd& z, Eigen::Index ncomp, double tol,
                                       const TPFlashHooks& hooks, int steps, double T);

    // The start of the split at T, or null: the split moves smoothly with T, so after two
    // earlier splits its variables lie on the straight line through them.
    SplitStart* start_at(double T);
    // The split from start_at(T) converged there: T becomes the trail's last temperature.
    void advance(double T);

    // A full TP flash r at T (split: its Newton split, when that ran): a two-phase one starts
    // the next split, from the split's solution and Jacobian where there is one.
    void keep(const TPFlashResult& r, double T, const SplitResult* split);

private:
    // The two-phase flash at T by the split from start (only the entry asked for), or nothing
    // when that does not converge or fails recoverably: the full TP flash then decides.
    std::optional<TPFlashResult> near(const Eigen::VectorXd& z, double P, TrailEntry key,
                                      TrailFlash& flash, SplitStart& start);

    static constexpr int kFirstSteps = 3;  // substitution steps of a first flash before its split

    std::optional<SplitStart> start_;  // the split at T_ that starts the next one
    double T_ = 0.0;
    std::optional<double> last_T_;  // the split before it, at last_T_
    Eigen::VectorXd last_s_;
    Eigen::VectorXd at_last_s_;             // start_->s before start_at moved it
    std::optional<std::vector<char>> vol_;  // the volatile components of z, read when first needed
};

// The target of one temperature solve and where its values come from: far from the goal the
// trail's, within 1e-5 of it (of 1 for a vapor fraction, of 1e6 J/kmol at least for H and S)
// the TP flash's own, so that the temperature solved is the one where the TP flash meets the
// goal. A solve for a vapor fraction aims below 1 (a dew point is approached, not met), starts
// 5 K above the bubble point Tb and has the value T - Tb at and below it.
class TemperatureSolve {
public:
    TemperatureSolve(TrailEntry key, double goal, std::optional<double> Tb = std::nullopt)
        : goal_(goal),
          band_(1e-5 * std::max(std::fabs(goal), key == TrailEntry::Beta ? 1.0 : 1e6)),
          Tb_(Tb) {}
    static double beta_goal(double beta) { return std::min(beta, 0.999999999); }
    static double beta_start(double Tb) { return Tb + 5.0; }
    // The value at T below the bubble point of a vapor-fraction solve; nothing elsewhere.
    std::optional<double> below(double T) const {
        if (!Tb_ || T > *Tb_) return std::nullopt;
        return T - *Tb_;
    }
    // The value v (the trail's) is near enough the goal for the TP flash's own to be taken.
    bool exact(double v) const { return std::fabs(v - goal_) <= band_; }

private:
    double goal_, band_;
    std::optional<double> Tb_;
};

// The two-phase flash at P by the split from `start` (split_near): its vapor fraction in r, and
// its H and S where the pointers are not null. false where split_near is.
bool flash_near(const Eigen::VectorXd& z, double P, const std::vector<char>& vol,
                const SplitHooks& split, const TPFlashHooks& hooks, SplitStart& start,
                TPFlashResult& r, double* H, double* S);

}  // namespace brinequil::core
