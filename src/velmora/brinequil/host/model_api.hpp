// C++ interface of the electrolyte model for the other subsystems (fugacities, K-values,
// flashes, enthalpy). Every function takes the Python object of the model (`self`, an
// Electrolyte or a Python subclass of it) because a subclass may override a method (or `_warm`)
// in Python. The warm-start record is kept on the Electrolyte (Electrolyte::Warm).
//
// Conventions
// - Species vectors are Eigen::VectorXd of length sp.n in the order of el.names.
// - Errors: the Python exception is raised as a C++ exception (py::error_already_set or one of
//   model/errors.hpp); let it propagate, the module translates it. Nothing here catches the
//   errors of the activity model or of the species object.
// - Everything reads the model at call time: the caller's mappings (henry, vc, options, diss,
//   K) and the species object's index sets, so changes made by the caller are seen. The front
//   door's one-call paths (cold_speciation, warm_speciation, front_liquid.cpp) keep what they
//   read while the objects are the same and their dicts' version tags unchanged.
// - The GIL must be held (all of these call into Python), except where a function says so.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "equilibrium/flash.hpp"
#include "equilibrium/flash_liquid.hpp"
#include "fugacity/lc_molecular.hpp"
#include "fugacity/liquid_fugacity.hpp"
#include "host/convert.hpp"
#include "host/electrolyte.hpp"
#include "model/true_amounts.hpp"

namespace brinequil::host {

// The Electrolyte of a Python object; TypeError when it is not one.
Electrolyte& electrolyte(py::handle self);

// The bound method `self.<name>` when a Python subclass (or the instance itself) replaces the
// Electrolyte method of that name, else a null object. Lets C++ callers honour overrides the
// way Python code calling self.<name>(...) would, at the cost of one attribute lookup.
// `name`: a string literal (its address keys the interned name).
py::object python_override(py::handle self, const char* name);

// ---- Species object --------------------------------------------------------------------------
// Index sets and data of el.sp, read when asked for: a species object used only to build a
// model may lack the attributes it is not asked for here.
enum SpeciesField : unsigned {
    kSpN = 1u << 0,      // sp.n
    kSpHenry = 1u << 1,  // sp.henry
    kSpSolv = 1u << 2,   // sp.solv
    kSpMol = 1u << 3,    // sp.mol
    kSpWater = 1u << 4,  // sp.water
    kSpZ = 1u << 5,      // sp.z
    kSpIon = 1u << 6,    // sp.ion
    kSpNames = 1u << 7,  // el.names as std::string (str() of each entry)
    kSpAll = 0xffu,
};
struct SpeciesSets {
    Eigen::Index n = 0;
    std::vector<int> henry, solv, mol;
    int water = -1;
    Eigen::VectorXd z;      // charges
    std::vector<char> ion;  // 1 for an ion
    std::vector<std::string> names;
};
// Indices are checked against sp.n (IndexError); negative indices count from the end.
SpeciesSets species_sets(const Electrolyte& el, unsigned fields = kSpAll);

// ---- Model operations ------------------------------------------------------------------------
// ln K of every EQUIL reaction at T (rows of nu). ZeroDivisionError at T = 0, ValueError
// "math domain error" below 0, KeyError for a record without "A".."D".
Eigen::VectorXd ln_k(const Electrolyte& el, double T);

// ln gamma_inf of the Henry components (0.0 elsewhere) in the model's "henry_ref" mode; x may
// be nullptr (water reference). Calls sp.molecule_tau(T) once when there are Henry components.
Eigen::VectorXd henry_ref(const Electrolyte& el, double T, const Eigen::VectorXd* x = nullptr);

// ln (H/gamma_inf)_mix [ln Pa] of the Henry component named i at the true mole fractions x.
// ZeroDivisionError when i has no Henry pair; NaN when every solvent of its pairs has x = 0.
double ln_h_mix(const Electrolyte& el, py::handle i, const Eigen::VectorXd& x, double T);
double ln_h_mix(const Electrolyte& el, const std::string& i, const Eigen::VectorXd& x, double T);

// The speciation: true amounts n (unit of n_app) and ln gamma (activity model's convention, the
// Henry reference not subtracted) at T. Reads and replaces the warm-start record (`_warm` to
// Python) exactly like the Python method. n_app: a mapping {name: amount} (any Python mapping) or a
// C++ list of (name, amount) pairs; names are looked up with el.names.index (ValueError "'X' is not
// in list"). Honours a Python override of `true_amounts` on a subclass (then the Python method is
// called and its result converted).
struct Speciation {
    Eigen::VectorXd n, lng;
};
using Amounts = std::vector<std::pair<std::string, double>>;
Speciation true_amounts(py::handle self, py::handle n_app, double T, double tol = 1e-11,
                        int maxit = 200);
Speciation true_amounts(py::handle self, const Amounts& n_app, double T, double tol = 1e-11,
                        int maxit = 200);

// The largest residual of a speciation (n, lng) of the apparent liquid n_app at T, as a check
// of an answer computes it: max |nu (ln x + lng - ref) - ln K| over the reactions and
// max |B (n - n0)| / sum n0 over the invariants; inf where n has a negative, NaN or inf entry or
// a residual is not finite. nullopt where lnK or henry_ref is replaced in Python (the caller
// computes it there, with the replacement). ValueError for vectors of the wrong size.
std::optional<double> speciation_residual(py::handle self, py::handle n_app, double T,
                                          const Eigen::VectorXd& n, const Eigen::VectorXd& lng);

// The cold speciation of n_app at T as true_amounts computes it after `_warm = None` (the
// record and the status written as it writes them), with what the check of its answer needs:
// the apparent amounts on the species (n0), ln K at T and whether Newton met its tolerance.
// nullopt, before anything is solved, where a method it stands for (true_amounts, lnK,
// henry_ref, _residual, _status) is replaced in Python, the record is not the Electrolyte's
// own, the activity model or the Henry reference is not the package's compiled one, or reading
// the model fails: the caller then calls those methods (with their errors).
struct ColdSpeciation {
    Eigen::VectorXd n, lng, n0, lnK;
    bool converged = false;
    // the molecular NRTL term at T as the Henry reference of the solve took it (cold_speciation,
    // where it took one)
    std::optional<core::MolecularNrtl> lc;
};
std::optional<ColdSpeciation> cold_speciation(py::handle self, py::handle n_app, double T);

// The speciation of n_app at T as true_amounts computes it with the caller's warm record (the
// record and the status written as it writes them), for a caller that has made sure that
// true_amounts, lnK and _status are not replaced in Python; with n0, ln K at T and whether
// Newton met its tolerance. Raises what true_amounts raises. trace_steps: each trace resolved to
// its own total, as the front door's check speciates an answer's liquid; false: true_amounts'
// own settings, its digits (on the kept callbacks where they apply).
ColdSpeciation warm_speciation(py::handle self, py::handle n_app, double T,
                               bool trace_steps = true);

// The warm-start record as Python sees the attribute `_warm`: get (AttributeError when there is
// none), set (None: start cold), delete.
py::object warm_get(py::handle self);
void warm_set(py::handle self, py::object value);
void warm_del(py::handle self);

// ---- A caller's own warm start -------------------------------------------------------------
// The front door passes the speciation's warm start as data it owns (a WarmStart) instead of
// leaving it on the model. While a Session is open on this thread for a model, the model's
// speciations on this thread read and write the session's record and a status of its own
// (fresh when it opens) in place of the model's: `_warm`, `_status` and the C++ paths below all
// see the session's, and the model's own record and status are left as they were. Sessions
// nest; one for another model leaves this one's alone. GIL held to open and close one.
struct WarmStart {
    WarmStart() { warm.held = Electrolyte::Warm::kKept; }  // cold
    Electrolyte::Warm warm;  // kKept (`has` false: None) or kOutside (a tuple set from Python)
};
class Session {
public:
    Session(py::handle self, Electrolyte& el, WarmStart& start);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    PyObject* const self;
    const Electrolyte* const el;
    WarmStart& start;
    Electrolyte::Status status;
    Session* const outer;  // the session open before this one on this thread, or null
};
// The record and the status that a model's speciations on this thread use now: the innermost
// open session's for that model, else the model's own.
Electrolyte::Warm& warm_of(Electrolyte& el);
Electrolyte::Status& status_of(Electrolyte& el);
// Whether a session is open on this thread for the Python object self.
bool session_for(py::handle self);
// call() on the record `warm` of a private binding's caller: None, the model's own (as the
// methods it stands for read and write it); or a _WarmStart, in a session (the call's status
// its own, the model's record and status untouched).
template <class F>
py::object on_record(py::handle self, py::handle warm, F&& call) {
    if (warm.is_none()) return call();
    Session open(self, electrolyte(self), warm.cast<WarmStart&>());
    return call();
}

// A status as Electrolyte._status gives it: {"speciation_converged", "speciation_iterations",
// "split_status", "substitution_err"}.
py::dict status_dict(const Electrolyte::Status& s);

// The same without looking for a Python override (the bound method itself uses this).
Speciation speciate(py::handle self, py::handle n_app, double T, double tol = 1e-11,
                    int maxit = 200);

// ---- The liquid of one flash ---------------------------------------------------------------
// Liquid fugacities of the apparent liquids of one flash (one T, one list of components) with
// the package's own model. What the evaluations need of the model's mappings -- the components'
// positions among the species, the complete dissociations, ln K, the Antoine vapor pressures
// and the Henry pairs (ln H, Vc, ln gamma_inf in the pure solvent) -- is read once, at the first
// evaluation that can use it (GIL held); a table it cannot read leaves every evaluation to the
// Python path, which raises that table's own error where it reads it.
class FlashLiquid {
public:
    FlashLiquid(py::handle self, std::vector<std::string> comps, double T);

    // Fugacities on the components of the apparent liquid xa (its first min(ncomp, size)
    // entries paired with the components) when the model's fugacities, true_amounts, lnK and
    // henry_ref and the activity model are the package's own (looked up at each call): the
    // speciation and the fugacities run with the GIL released; the warm start is read and
    // written with it held. false: nothing was done, the caller takes the Python path.
    bool fugacities(const Eigen::VectorXd& xa, core::ComponentFugacities& out);

    // For one TP flash whose every function is the package's own (GIL held): the look-ups that
    // fugacities makes at each call are made once, here, and true means fugacities may then be
    // called without the GIL, until unfix(). A replacement made meanwhile (by another thread)
    // is seen by the next flash.
    bool fix();
    void unfix() { fixed_ = false; }

    // The liquid of the flash's answer (apparent liquid xa) as the check of the answer reads it,
    // from the tables: the speciation from the warm record as true_amounts makes it (the record
    // and the status written as it writes them), its species' fugacities as `fugacities` gives
    // them, and the apparent amounts on the species (n0). Raises what the speciation raises;
    // false, before anything is solved, where `fugacities` would take the Python path.
    struct Answer {
        Eigen::VectorXd n0, n, lng;
        core::FugacityMap f;  // {species: Pa} in the species' order
        bool converged = false;
    };
    bool answer(const Eigen::VectorXd& xa, Answer& out);
    // The Henry reference at the true mole fractions x as the speciation of a true answer() had
    // it, for the residual of its check (the Henry components no reaction takes may be left at
    // 0: their column of nu is zero).
    void henry_ref(const Eigen::VectorXd& x, Eigen::VectorXd& out);
    // The tables (read where answer() is true).
    const core::FlashLiquidTables& tables() const { return tables_; }

private:
    void build();

    bool reusable(const Electrolyte& el) const;
    // The per-call look-ups of fugacities (GIL held): true when the native path applies.
    bool ready();

    py::handle self_;
    std::vector<std::string> comps_;
    // The speciation's callbacks of the first native evaluation (activity model, Henry
    // reference at T), used again while the model they were built on is still the one found.
    std::unique_ptr<core::SpeciationCallbacks> cb_;
    py::object sp_, core_;
    Electrolyte* el_ = nullptr;  // the model, as ready() found it
    bool fixed_ = false;
    double T_;
    enum { kUnread, kReady, kUnusable } state_ = kUnread;
    core::FlashLiquidTables tables_;
    std::vector<std::string> names_;  // the species
    Eigen::VectorXd x_, f_;           // work: true mole fractions, fugacities
};

// C1 ... C7 of an Antoine entry; the temperature limits after them are not read.
core::Antoine antoine_coeffs(py::handle p);

// ---- The NRTL matrices of the species object -----------------------------------------------
// The molecular NRTL term over `mol` from the pair tm = (tau, alpha) of sp.molecule_tau (TypeError
// or ValueError unless both are two-dimensional arrays of numbers); reuses lc's storage.
void molecular_term(py::handle tm, const std::vector<int>& mol, core::MolecularNrtl& lc);

}  // namespace brinequil::host
