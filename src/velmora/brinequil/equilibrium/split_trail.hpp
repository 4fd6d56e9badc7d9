// The TP flashes of one temperature solve (a flash at a given H, S or vapor fraction), as the
// solver asks for them one temperature after the other. After a two-phase flash the next one
// starts its split from that solution and its Jacobian (split_near): a few speciations instead
// of a whole flash's. The host runs the full TP flash where the trail has no start or its split
// fails, and hands the result back (keep).
#pragma once
#include <optional>
#include <vector>

#include <Eigen/Dense>

#include "equilibrium/flash.hpp"

namespace brinequil::core {

class SplitTrail {
public:
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
    std::optional<SplitStart> start_;  // the split at T_ that starts the next one
    double T_ = 0.0;
    std::optional<double> last_T_;  // the split before it, at last_T_
    Eigen::VectorXd last_s_;
    Eigen::VectorXd at_last_s_;  // start_->s before start_at moved it
};

// The two-phase flash at P by the split from `start` (split_near): its vapor fraction in r, and
// its H and S where the pointers are not null. false where split_near is.
bool flash_near(const Eigen::VectorXd& z, double P, const std::vector<char>& vol,
                const SplitHooks& split, const TPFlashHooks& hooks, SplitStart& start,
                TPFlashResult& r, double* H, double* S);

}  // namespace brinequil::core
