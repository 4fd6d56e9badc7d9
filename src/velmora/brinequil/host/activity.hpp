// The activity model as the speciation, the Henry reference and the liquid enthalpy see it.
//
// Each operation resolves it once, with the GIL held: when velmora.ionactivity.ln_gamma (looked
// up on its module) and the species object's molecule_tau are the package's own, and the species
// object holds a compiled model (sp._core, an _enrtl.Model), the calls go straight to that
// model's C++ code -- no Python call, no array, no GIL needed (native()). Anything else -- a
// replaced function, a test double, an unusual option value -- takes the Python path, looked up
// at every call, with the results and errors of the Python functions.
#pragma once
#include <vector>

#include <Eigen/Dense>

#include "fugacity/lc_molecular.hpp"
#include "host/electrolyte.hpp"

namespace enrtl {
class Model;
struct Options;
}  // namespace enrtl

namespace brinequil::host {

// Loads the C interface of velmora.ionactivity._enrtl and the package's own functions; called
// once by the module entry point (the activity-model module is imported there).
void load_activity_api();

// ionactivity.ln_gamma and sp.molecule_tau are (still) the package's own and sp._core is (still)
// `core`: native objects built on that model earlier may be used again.
bool own_activity(py::handle sp, py::handle core);
// sp._core, or a null object.
py::object compiled_core(py::handle sp);

class Activity {
public:
    // options: the model's option mapping, or a null handle for the three-argument call
    // ln_gamma(sp, x, T) (the liquid enthalpy).
    Activity(py::handle sp, py::handle options);
    ~Activity();
    Activity(const Activity&) = delete;
    Activity& operator=(const Activity&) = delete;

    // ln gamma at the true mole fractions x and T; out gets len(x) entries. The native path
    // needs no GIL; the Python path needs it.
    void ln_gamma(const Eigen::VectorXd& x, double T, Eigen::VectorXd& out);
    // The native path serves vectors of n entries.
    bool native(Eigen::Index n) const;
    // The compiled model and its options on the native path (else nullptr).
    enrtl::Model* model() const { return model_; }
    const enrtl::Options* options() const { return opts_; }

private:
    py::object sp_, options_, core_;  // core_: the Python object of model_ (kept alive)
    enrtl::Model* model_ = nullptr;
    enrtl::Options* opts_ = nullptr;
};

// sp.molecule_tau(T) as the molecular NRTL term over `mol`: from the compiled model when
// sp.molecule_tau is the package's own (native(): no GIL needed), else by calling it.
class MoleculeTau {
public:
    explicit MoleculeTau(py::handle sp);
    void assign(double T, const std::vector<int>& mol, core::MolecularNrtl& lc);
    // Only asks (the Python method is called, its answer unused); nothing on the native path.
    void ask(double T);
    bool native() const { return model_ != nullptr; }

private:
    py::object sp_, core_;
    enrtl::Model* model_ = nullptr;
    Eigen::MatrixXd tau_, alpha_;
};

}  // namespace brinequil::host
