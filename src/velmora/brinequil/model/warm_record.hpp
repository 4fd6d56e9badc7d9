// What a model keeps between its calls: the warm start of the speciation (the last finite
// solution) and the outcome of the latest operations. The host guards both with a lock and keeps
// a record that was set from outside (kOutside) itself.
#pragma once
#include <cmath>
#include <optional>

#include <Eigen/Dense>

#include "model/true_amounts.hpp"

namespace brinequil::core {

// A stored solution at Tw starts the speciation at T within 30 K of it.
inline bool warm_applies(double Tw, double T) { return std::abs(Tw - T) < 30.0; }

struct WarmRecord {
    // kKept: the record is this one (`has` false: empty); kOutside: one set from outside, until
    // the next speciation replaces it; kAbsent: no record at all.
    enum Held : char { kAbsent, kKept, kOutside } held = kAbsent;
    bool has = false;
    double T = 0.0;
    Eigen::VectorXd w, lng;          // true amounts per unit of the feed's total, ln gamma
    unsigned long long version = 0;  // counts the changes

    // The kept solution into w and lngw, with warm pointing at them, when it applies to n species
    // at T; nothing otherwise.
    void read(double at, Eigen::Index n, Eigen::VectorXd& wo, Eigen::VectorXd& lngo,
              WarmStart& warm) const {
        if (!has || !warm_applies(T, at) || w.size() != n) return;
        wo = w;
        lngo = lng;
        warm.w = &wo;
        warm.lng = &lngo;
    }
    // The finite solution res at T becomes the record.
    void store(double at, const SpeciationResult& res) {
        held = kKept;
        has = true;
        ++version;
        T = at;
        w = res.n / res.tot;
        lng = res.lng;
    }
    // Emptied: kept empty (None), replaced from outside, or removed.
    void reset(Held to) {
        ++version;
        held = to;
        has = false;
    }
};

// The outcome of the most recent operations of a model.
struct ModelStatus {
    bool speciation_converged = false;       // the last speciation met its tolerance
    int speciation_iterations = 0;           // its Newton iterations, all outer passes
    std::optional<int> split_status;         // MINPACK info of the last Newton split
    std::optional<double> substitution_err;  // final err of the last TP flash's substitution

    void speciation(const SpeciationResult& res) {
        speciation_converged = res.converged;
        speciation_iterations = res.newton_iterations;
    }
};

}  // namespace brinequil::core
