// The bound Electrolyte: its Python-visible attributes as Python objects, plus the C++ values
// that the hot loops need, built once. Each subsystem binds its own methods in host/bind_*.cpp.
#pragma once
#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/numpy.h>

#include "model/stoichiometry.hpp"

namespace py = pybind11;

namespace brinequil::host {

struct Electrolyte {
    // Attributes of the record, in the order the constructor sets them.
    py::object sp, names, apparent, app_idx, diss, nu, K, B, antoine, henry, vc, pure, options;
    // nu and B as C++ matrices (with the net mole change of each reaction), built once by the
    // constructor; the speciation reads these, never the NumPy attributes.
    std::shared_ptr<const core::Stoichiometry> stoich;
};

using ElectrolyteClass = py::class_<Electrolyte>;

// Registration, one per subsystem; called by the module entry point in this order.
void bind_model(py::module_& m, ElectrolyteClass& cls);        // __init__, lnK, true_amounts, henry_ref, ln_h_mix, _lc_molecular
void bind_reports(py::module_& m, ElectrolyteClass& cls);      // from_report, __reduce__, _rebuild, _cache_dir, report_key, parameter_report, attach
void bind_equilibrium(py::module_& m, ElectrolyteClass& cls);  // psat, fugacities, bubble, kvalues, flash_tp, _flash_newton, bubble_t, flash
void bind_enthalpy(py::module_& m);                            // h_aqueous, liquid_enthalpy

}  // namespace brinequil::host
