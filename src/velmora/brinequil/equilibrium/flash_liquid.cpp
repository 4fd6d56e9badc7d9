#include "equilibrium/flash_liquid.hpp"

#include <cmath>

#include "fugacity/henry.hpp"

namespace brinequil::core {

void FlashLiquidTables::reset_species(Eigen::Index count) {
    n = count;
    kind.assign(static_cast<std::size_t>(n), kNone);
    pairs.assign(static_cast<std::size_t>(n), {});
    psat.assign(static_cast<std::size_t>(n), 0.0);
}

void FlashLiquidTables::map_components(const std::vector<std::string>& comps,
                                       const std::vector<std::string>& names) {
    for (const std::string& c : comps) {
        Eigen::Index j = -1;
        for (Eigen::Index k = 0; k < n && j < 0; ++k)
            if (kind[static_cast<std::size_t>(k)] != kNone &&
                names[static_cast<std::size_t>(k)] == c)
                j = k;
        comp_species.push_back(j);
    }
}

void FlashLiquidTables::apparent_on_species(const Eigen::VectorXd& xa, Eigen::VectorXd& n0) const {
    n0 = Eigen::VectorXd::Zero(n);
    const std::size_t m = std::min(pos.size(), static_cast<std::size_t>(xa.size()));
    for (std::size_t k = 0; k < m; ++k) n0[pos[k]] += xa[static_cast<Eigen::Index>(k)];
    for (std::size_t r = 0; r < diss.size(); ++r) {
        // extent at which the limiting reactant is used up
        bool any = false;
        double amount = 0.0;
        for (std::size_t t = 0; t < diss[r].size(); ++t) {
            if (!diss_limits[r][t]) continue;
            const double e = n0[diss[r][t].first] / (-diss[r][t].second);
            if (!any || e < amount) amount = e;
            any = true;
        }
        for (const auto& [p, coef] : diss[r]) n0[p] += coef * amount;
    }
}

void FlashLiquidTables::fugacities(const Eigen::VectorXd& amounts, const Eigen::VectorXd& lng,
                                   Eigen::VectorXd& x, Eigen::VectorXd& f,
                                   ComponentFugacities& out) const {
    x = amounts / amounts.sum();
    for (Eigen::Index k = 0; k < n; ++k) {
        const auto sk = static_cast<std::size_t>(k);
        if (kind[sk] == kHenry) {
            f[k] = x[k] * std::exp(lng[k] + ln_h_mix(pairs[sk], x));
        } else if (kind[sk] == kAntoine) {
            f[k] = x[k] * std::exp(lng[k]) * psat[sk];
        }
    }
    const auto nc = static_cast<Eigen::Index>(comp_species.size());
    out.has.assign(comp_species.size(), 0);
    out.f = Eigen::VectorXd::Zero(nc);
    for (Eigen::Index c = 0; c < nc; ++c) {
        const Eigen::Index j = comp_species[static_cast<std::size_t>(c)];
        if (j < 0) continue;
        out.has[static_cast<std::size_t>(c)] = 1;
        out.f[c] = f[j];
    }
}

SpeciationResult FlashLiquidTables::speciate(const Stoichiometry& st, const Eigen::VectorXd& n0,
                                             const WarmStart& warm, SpeciationCallbacks& cb,
                                             Eigen::VectorXd& x, Eigen::VectorXd& f,
                                             ComponentFugacities& out, std::exception_ptr& failed,
                                             int trace_maxit, double trace_tol) const {
    SpeciationSettings set;
    set.ref_follows_x = ref_follows_x;
    set.trace_maxit = trace_maxit;
    if (trace_maxit > 0) set.trace_tol = trace_tol;
    SpeciationResult res = solve_speciation(st, n0, lnK, warm, set, cb);
    try {
        fugacities(res.n, res.lng, x, f, out);
    } catch (...) {
        failed = std::current_exception();
    }
    return res;
}

void FlashLiquidTables::species_fugacities(const std::vector<std::string>& names,
                                           const Eigen::VectorXd& f, FugacityMap& out) const {
    out.clear();
    for (Eigen::Index k = 0; k < n; ++k)
        if (kind[static_cast<std::size_t>(k)] != kNone)
            out.emplace_back(names[static_cast<std::size_t>(k)], f[k]);
}

}  // namespace brinequil::core
