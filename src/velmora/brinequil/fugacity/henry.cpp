#include "fugacity/henry.hpp"

#include <cmath>
#include <string>

#include "model/errors.hpp"
#include "model/pyfloat.hpp"

namespace brinequil::core {

namespace {
void check_index(int idx, Eigen::Index n) {
    if (idx < 0 || idx >= n)
        throw IndexError("index " + std::to_string(idx) +
                         " is out of bounds for axis 0 with size " + std::to_string(n));
}
}  // namespace

HenryMode henry_mode(const std::string& value) {
    if (value == "water") return HenryMode::Water;
    if (value == "solvent") return HenryMode::Solvent;
    if (value == "mixture") return HenryMode::Mixture;
    return HenryMode::Other;
}

void henry_reference(HenryMode mode, const HenryIndexSets& sets, const MolecularNrtl& lc,
                     const Eigen::VectorXd* x, FullActivityAt* full, Eigen::VectorXd& out,
                     Eigen::VectorXd& xw) {
    const Eigen::Index n = sets.n;
    out.setZero(n);
    if (sets.henry.empty()) return;
    xw.resize(n);
    for (int i : sets.henry) {
        check_index(i, n);
        if (mode == HenryMode::Water || x == nullptr) {
            xw.setConstant(kTrace);
            check_index(sets.water, n);
            xw[sets.water] = 1.0;
        } else if (mode == HenryMode::Solvent) {
            xw.setConstant(kTrace);
            for (int k : sets.solv) {
                check_index(k, n);
                xw[k] = (*x)[k];
            }
        } else {
            xw = *x;
        }
        xw[i] = kSoluteTrace;
        xw /= xw.sum();
        if (mode == HenryMode::Mixture) {
            out[i] = (*full)(xw, i);
        } else {
            out[i] = lc.ln_gamma_at(xw, i);
        }
    }
}

double henry_ln_h(const std::vector<double>& p, double T) {
    if (p.size() < 4)
        throw IndexError("Henry coefficients: " + std::to_string(p.size()) +
                         " given, at least 4 needed");
    double v = p[0] + py_div(p[1], T);
    v = v + p[2] * py_log(T);
    v = v + p[3] * T;
    if (p.size() > 4) v = v + py_div(p[4], T * T);
    return v;
}

void HenryMix::add(double x_solvent, double vc, double ln_h, double ln_gamma_inf) {
    const double w = x_solvent * std::pow(vc, 2.0 / 3.0);
    num_ = num_ + w * (ln_h - ln_gamma_inf);
    den_ = den_ + w;
    any_ = true;
}

double HenryMix::result() const {
    if (!any_) throw ZeroDivisionError("float division by zero");
    return num_ / den_;
}

HenryPair henry_pair(Eigen::Index n, int a, int i, double vc, const std::vector<double>& p,
                     double T, const MolecularNrtl& lc, Eigen::VectorXd& xa) {
    const double ln_h = henry_ln_h(p, T);
    pure_solvent_reference(n, a, i, xa);
    return {a, vc, ln_h, lc.ln_gamma_at(xa, i)};
}

void pure_solvent_reference(Eigen::Index n, int a, int i, Eigen::VectorXd& xa) {
    check_index(a, n);
    check_index(i, n);
    xa.setConstant(n, kTrace);
    xa[a] = 1.0;
    xa[i] = kSoluteTrace;
}

}  // namespace brinequil::core
