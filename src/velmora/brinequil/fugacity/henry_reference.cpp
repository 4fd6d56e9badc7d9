#include "fugacity/henry_reference.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "model/errors.hpp"

namespace brinequil::core {

HenryReferenceAt::HenryReferenceAt(HenryMode mode, Eigen::Index n, std::vector<int> henry,
                                   HenrySource& src, FullActivityAt* full)
    : mode_(mode), src_(src), full_(full) {
    sets_.n = n;
    sets_.henry = std::move(henry);
}

void HenryReferenceAt::only_reacting(const Stoichiometry& st) {
    auto idle = [&](int i) {
        return i >= 0 && i < st.nu.cols() && (st.nu.col(i).array() == 0.0).all();
    };
    sets_.henry.erase(std::remove_if(sets_.henry.begin(), sets_.henry.end(), idle),
                      sets_.henry.end());
}

void HenryReferenceAt::prepare() {
    if (sets_.henry.empty()) return;
    read_sets(nullptr);
    Eigen::VectorXd any(sets_.n);
    read_sets(&any);
    if (mode_ != HenryMode::Mixture && src_.compiled_term()) read_mol();
}

void HenryReferenceAt::eval(const Eigen::VectorXd* x, Eigen::VectorXd& out) {
    if (x != nullptr && x->size() != sets_.n)
        throw ValueError("x has " + std::to_string(x->size()) + " entries for " +
                         std::to_string(sets_.n) + " species");
    if (!sets_.henry.empty()) {
        // The model asks for the term in every mode (in mode Mixture the activity model is used
        // instead and it is not read).
        if (!src_.compiled_term())
            term();
        else if (mode_ != HenryMode::Mixture && !have_term_)
            term();
        read_sets(x);
    }
    henry_reference(mode_, sets_, lc_, x, full_, out, xw_);
}

void HenryReferenceAt::term() {
    if (mode_ == HenryMode::Mixture) {
        src_.ask_term();
        return;
    }
    read_mol();
    src_.term(mol_, lc_);
    have_term_ = true;
}

void HenryReferenceAt::read_mol() {
    if (have_mol_) return;
    mol_ = src_.mol();
    have_mol_ = true;
}

void HenryReferenceAt::read_sets(const Eigen::VectorXd* x) {
    if ((x == nullptr || mode_ == HenryMode::Water) && !have_water_) {
        sets_.water = src_.water();
        have_water_ = true;
    }
    if (x != nullptr && mode_ == HenryMode::Solvent && !have_solv_) {
        sets_.solv = src_.solv();
        have_solv_ = true;
    }
}

}  // namespace brinequil::core
