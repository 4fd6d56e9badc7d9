// The liquid of one flash (one T, one list of components) as tables: what its fugacities need
// of the electrolyte model, read once by the host, and the arithmetic that runs on them around
// each speciation (the apparent liquid on the species before, the fugacities after).
#pragma once
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "equilibrium/flash.hpp"
#include "fugacity/henry.hpp"
#include "fugacity/liquid_fugacity.hpp"
#include "model/true_amounts.hpp"

namespace brinequil::core {

struct FlashLiquidTables {
    using HenryPair = core::HenryPair;
    // A species' fugacity: none (ions, nonvolatile), x gamma (H/gamma_inf)_mix, x gamma Psat.
    enum Kind : char { kNone, kHenry, kAntoine };

    Eigen::Index n = 0;                                              // species
    std::vector<Eigen::Index> pos;                                   // component -> species
    std::vector<std::vector<std::pair<Eigen::Index, double>>> diss;  // (species, coefficient)
    std::vector<std::vector<char>> diss_limits;                      // a reactant that limits
    Eigen::VectorXd lnK;                                             // at the flash's T
    bool ref_follows_x = true;
    std::vector<Kind> kind;                     // per species
    std::vector<std::vector<HenryPair>> pairs;  // per species (Henry components)
    std::vector<double> psat;                   // per species (Antoine) [Pa]
    std::vector<Eigen::Index> comp_species;     // component -> volatile species, or -1

    // n species, none of them volatile yet.
    void reset_species(Eigen::Index count);
    // comp_species: for each component the first volatile species of its name.
    void map_components(const std::vector<std::string>& comps,
                        const std::vector<std::string>& names);
    // The apparent liquid xa (its first min(components, size) entries) on the species, then the
    // complete dissociations, each to the extent at which its limiting reactant is used up.
    void apparent_on_species(const Eigen::VectorXd& xa, Eigen::VectorXd& n0) const;
    // The fugacities on the components of the liquid of true amounts n and ln gamma lng (out.n
    // is left to the caller); x and f are work vectors of n entries.
    void fugacities(const Eigen::VectorXd& amounts, const Eigen::VectorXd& lng, Eigen::VectorXd& x,
                    Eigen::VectorXd& f, ComponentFugacities& out) const;
    // The speciation of the liquid n0 (on the species) at the tables' T from `warm` (default
    // settings, the reference following x as the tables say), then its fugacities as above. An
    // error of the fugacities is kept in `failed`: the caller records the speciation first.
    // trace_maxit, trace_tol: those of SpeciationSettings (the front door's answer liquids)
    SpeciationResult speciate(const Stoichiometry& st, const Eigen::VectorXd& n0,
                              const WarmStart& warm, SpeciationCallbacks& cb, Eigen::VectorXd& x,
                              Eigen::VectorXd& f, ComponentFugacities& out,
                              std::exception_ptr& failed, int trace_maxit = 0,
                              double trace_tol = 0.0) const;
    // {species: f} of the species with a fugacity, in the species' order (names: the species').
    void species_fugacities(const std::vector<std::string>& names, const Eigen::VectorXd& f,
                            FugacityMap& out) const;
};

}  // namespace brinequil::core
