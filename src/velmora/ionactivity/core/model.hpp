// Electrolyte NRTL model of Chen and co-workers for mixed solvents and several electrolytes:
// Pitzer-Debye-Hueckel long-range term, Born term and the generalised local-composition term.
// Every ln gamma is a partial derivative of one function F(n) = n G^ex/RT, homogeneous of degree
// one in the amounts, taken exactly with dual numbers.
#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "dual.hpp"

namespace enrtl {

enum Kind { WATER = 0, SOLVENT = 1, SOLUTE = 2, ION = 3 };

// A temperature correlation of a solvent property: form code and coefficients.
struct Correlation {
    int form = 0;
    std::vector<double> c;
};

enum DensityForm { DENS_KELL = 0, DENS_DIPPR105 = 1, DENS_POLY = 2 };
enum DielectricForm { DIEL_BRADLEY_PITZER = 0, DIEL_POLY = 1, DIEL_RECIP = 2 };

struct MoleculePair {
    int i, j;
    double p[10];  // A_ij A_ji B_ij B_ji F_ij F_ji G_ij G_ji C D
};

struct ElectrolytePair {
    int m, c, a;
    double p[9];  // tau_m,ca: A B F G; tau_ca,m: A B F G; alpha
};

// Everything a report says about the species, in species order.
struct ModelData {
    std::vector<int> kind;       // Kind per species (Henry components as SOLUTE)
    std::vector<int> z;          // charge
    std::vector<double> mw;      // kg/kmol
    std::vector<double> born;    // Born radius [m], ions only
    std::vector<int> solvents;   // species indices of the solvent mixture
    std::vector<Correlation> density, dielectric;  // parallel to solvents
    std::vector<MoleculePair> mol_pairs;
    std::vector<ElectrolytePair> pairs;
};

// How the local-composition term of the ions is referred.
enum LcRef { LC_WATER_RATIO = 0, LC_FUSED_SALT = 1 };

struct Options {
    bool fixed_Y = true;
    LcRef lc_ref = LC_WATER_RATIO;
};

// Properties of the ion-free solvent mixture (for inspection and tests).
struct SolventMix {
    double Ms, rho, eps, A_phi;
};

class Model {
public:
    static constexpr int kMaxSpecies = 64;
    static constexpr double kRho = 14.9;  // closest approach of the PDH term

    explicit Model(ModelData d);

    int n() const { return n_; }
    // ln gamma of every species at mole fractions (or amounts) x and T [K].
    void ln_gamma(const double* x, double T, const Options& o, double* out);
    // G^ex/(N R T) of the same function whose gradient ln_gamma is.
    double gex(const double* x, double T, const Options& o);
    // Molecule-molecule tau and alpha at T, n x n row-major, zero off the molecule pairs.
    void molecule_tau(double T, double* tau, double* alpha);
    SolventMix solvent_mix(const double* x, double T);

    double density(int s, double T) const;     // solvent s (position in solvents), kg/m3
    double dielectric(int s, double T) const;  // relative permittivity

private:
    struct TState {
        double T = -1.0;
        std::vector<double> rho, eps;      // per solvent
        double eps_w = 0.0;                // water
        std::vector<double> Gmm, tmm;      // M x M, [j*M + m]: j around m
        std::vector<double> alpha_mm;
        std::vector<double> tmca, tcam, alp, Gcam;  // (ci*A + ai)*M + mi
    };
    const TState& at(double T);
    template <int K> double eval(const double* x, double T, const Options& o, double* grad);
    template <int K, class Q> Dual<K> lc(const TState& s, const Dual<K>* X, const Options& o, Q* q);

    ModelData d_;
    int n_ = 0, water_ = -1, water_slot_ = -1;  // water: species index, molecule slot
    std::vector<int> mols_, cats_, ans_;
    std::vector<double> C_;  // |z| for ions, 1 for molecules
    // molecule pair coefficients, M x M, [j*M + m]
    std::vector<double> mA_, mB_, mF_, mG_, mC_, mD_;
    std::vector<double> eA_[2], eB_[2], eF_[2], eG_[2], eAlpha_;  // per (ci, ai, mi)
    TState ts_;
    // Dual-number work arrays, one per gradient width, reused between calls.
    std::tuple<std::vector<Dual<4>>, std::vector<Dual<8>>, std::vector<Dual<12>>, std::vector<Dual<16>>,
               std::vector<Dual<24>>, std::vector<Dual<32>>, std::vector<Dual<64>>>
        bufs_;
    std::vector<double> qbuf_;
};

}  // namespace enrtl
