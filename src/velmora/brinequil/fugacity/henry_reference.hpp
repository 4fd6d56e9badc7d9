// The Henry reference of one model at one T as the speciation evaluates it, once per solve and
// at every Newton iteration where it follows the composition: what it needs of the species
// object (index sets, the molecular NRTL term) is read through HenrySource when first needed,
// and the term of a compiled model is taken once.
#pragma once
#include <vector>

#include <Eigen/Dense>

#include "fugacity/henry.hpp"
#include "fugacity/lc_molecular.hpp"
#include "model/stoichiometry.hpp"

namespace brinequil::core {

// The species object of the model at the reference's T.
class HenrySource {
public:
    virtual ~HenrySource() = default;
    virtual std::vector<int> mol() = 0;   // the molecular species
    virtual int water() = 0;              // water
    virtual std::vector<int> solv() = 0;  // the solvents
    // The molecular term over mol (the species object asked each time where it is not compiled).
    virtual void term(const std::vector<int>& mol, MolecularNrtl& lc) = 0;
    // Only asks for the term, its answer unused (mode Mixture where it is not compiled).
    virtual void ask_term() = 0;
    // The term comes from a compiled model: nothing is asked at an evaluation once it is read.
    virtual bool compiled_term() const = 0;
};

class HenryReferenceAt {
public:
    // n species, of which `henry` are the Henry components; full: the activity model (mode
    // Mixture only, else may be null).
    HenryReferenceAt(HenryMode mode, Eigen::Index n, std::vector<int> henry, HenrySource& src,
                     FullActivityAt* full);

    HenryMode mode() const { return mode_; }
    bool any() const { return !sets_.henry.empty(); }
    // Leaves out the Henry components that take part in no equilibrium reaction: their column of
    // nu is zero, so their reference term multiplies zeros in the residuals. Only where no
    // evaluation is seen from outside (a compiled model).
    void only_reacting(const Stoichiometry& st);
    // Reads what the evaluations of this mode need; a compiled term is computed at the first
    // evaluation.
    void prepare();
    // henry_reference at x (nullptr: the water reference); ValueError for an x of another size.
    void eval(const Eigen::VectorXd* x, Eigen::VectorXd& out);
    // The molecular term is taken again at the next evaluation (the source's T has changed).
    void forget_term() { have_term_ = false; }
    // The molecular term of the last evaluation, where one took it (else nullptr).
    const MolecularNrtl* term_taken() const { return have_term_ ? &lc_ : nullptr; }

private:
    void term();
    void read_mol();
    void read_sets(const Eigen::VectorXd* x);

    HenryMode mode_;
    HenryIndexSets sets_;
    HenrySource& src_;
    FullActivityAt* full_;
    std::vector<int> mol_;
    bool have_mol_ = false, have_water_ = false, have_solv_ = false, have_term_ = false;
    MolecularNrtl lc_;
    Eigen::VectorXd xw_;
};

}  // namespace brinequil::core
