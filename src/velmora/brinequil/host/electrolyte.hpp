// The bound Electrolyte: its Python-visible attributes as Python objects, plus the C++ values
// that the hot loops need, built once. Each subsystem binds its own methods in host/bind_*.cpp.
#pragma once
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include <Eigen/Dense>

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>

#include "model/stoichiometry.hpp"
#include "model/warm_record.hpp"

namespace py = pybind11;

namespace brinequil::host {

struct LiquidTables;     // front_liquid.cpp: what the front door's check reads of the tables
struct FrontSpeciation;  // model_api.cpp: what the front door's speciation keeps of the model

struct Electrolyte {
    // pybind11 allocates the storage of an instance made by __new__ alone (no __init__) when it
    // is first used, without constructing it; zeroed storage makes `initialised` read false
    // there (see electrolyte() in model_api.cpp).
    static void* operator new(std::size_t size) {
        if (void* p = std::calloc(1, size)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void* p) { std::free(p); }
    bool initialised = false;  // set by the constructor

    // Attributes of the record, in the order the constructor sets them.
    py::object sp, names, apparent, app_idx, diss, nu, K, B, antoine, henry, vc, pure, options;
    // nu and B as C++ matrices (with the net mole change of each reaction), built once by the
    // constructor; the speciation reads these, never the NumPy attributes.
    std::shared_ptr<const core::Stoichiometry> stoich;
    // The warm start of the speciation, `_warm` to Python. The speciations keep it here, in C++
    // (kKept: `has` false reads as None); the Python tuple (T, n / total, ln gamma) is made only
    // when Python reads the attribute, and is then the record (kOutside) until the next
    // speciation replaces it, as is any object Python sets. kAbsent: no attribute.
    struct Warm : core::WarmRecord {
        py::object py;  // kOutside: the record; otherwise stale, dropped where the GIL is held
    } warm;
    // Guards `warm` and `status`: a flash of the package's own functions reads and writes them
    // without the GIL. Nothing that runs Python is done while it is held.
    struct Lock {
        std::mutex m;
        Lock() = default;
        Lock(Lock&&) noexcept {}
        Lock& operator=(Lock&&) noexcept { return *this; }
    } lock;
    // Outcome of the most recent operations (Electrolyte._status), under `lock`.
    using Status = core::ModelStatus;
    Status status;
    // The tables as the front door's check read them last (with the GIL held), kept while they
    // are the same objects and unchanged.
    std::shared_ptr<const LiquidTables> liquid_tables;
    // The front door's speciation callbacks and ln K records, kept while they are current; taken
    // off while a call uses them (with the GIL held), so that each is used by one call at a time.
    std::shared_ptr<FrontSpeciation> front_speciation;
};

using ElectrolyteClass = py::class_<Electrolyte>;

// Electrolyte(sp, reactions, kinds, k, apparent, antoine, henry, vc, options): the record with
// its attributes and the C++ stoichiometry (electrolyte.cpp).
Electrolyte make_electrolyte(py::object sp, py::object reactions, py::object kinds, py::object k,
                             py::object apparent, py::object antoine, py::object henry,
                             py::object vc, py::object options);

// Registration, one per subsystem; called by the module entry point in this order.
void bind_model(
    py::module_& m,
    ElectrolyteClass& cls);  // __init__, lnK, true_amounts, henry_ref, ln_h_mix, _lc_molecular
void bind_reports(py::module_& m,
                  ElectrolyteClass& cls);  // from_report, __reduce__, _rebuild, _cache_dir,
                                           // report_key, parameter_report, attach
void bind_equilibrium(py::module_& m,
                      ElectrolyteClass& cls);  // psat, fugacities, bubble, kvalues, flash_tp,
                                               // _flash_newton, bubble_t, flash
void bind_enthalpy(py::module_& m);            // h_aqueous, liquid_enthalpy
void bind_solids(py::module_& m, ElectrolyteClass& cls);   // _solid_newton
void bind_front(py::module_& m, ElectrolyteClass& cls);    // _front_liquid
void bind_derivatives(py::module_& m);                     // _LiquidJacobian
void bind_session(py::module_& m, ElectrolyteClass& cls);  // _WarmStart, _session

}  // namespace brinequil::host
