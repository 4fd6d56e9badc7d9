// Python interface of the model: the constructor and the methods of the speciation core.
#include <string>
#include <vector>

#include "fugacity/lc_molecular.hpp"
#include "host/electrolyte.hpp"
#include "host/model_api.hpp"
#include "model/errors.hpp"

namespace brinequil::host {

namespace {

const Electrolyte& self_of(py::handle self) { return electrolyte(self); }

}  // namespace

void bind_model(py::module_& m, ElectrolyteClass& cls) {
    (void)m;

    cls.def(py::init(&make_electrolyte), py::arg("sp"), py::arg("reactions"), py::arg("kinds"),
            py::arg("k"), py::arg("apparent"), py::arg("antoine") = py::none(),
            py::arg("henry") = py::none(), py::arg("vc") = py::none(),
            py::arg("options") = py::none(),
            "The model of an electrolyte liquid: species object, reactions with their kinds and "
            "equilibrium constants, apparent components, parameter tables and options");

    // The record's attributes; read and replaced through a checked accessor, so that an instance
    // whose __init__ never ran gives a TypeError instead of reading unconstructed storage.
#define BRINEQUIL_ATTRIBUTE(field)                                               \
    cls.def_property(                                                            \
        #field, [](py::handle s) -> py::object { return electrolyte(s).field; }, \
        [](py::handle s, py::object v) { electrolyte(s).field = std::move(v); })
    BRINEQUIL_ATTRIBUTE(sp);
    BRINEQUIL_ATTRIBUTE(names);
    BRINEQUIL_ATTRIBUTE(apparent);
    BRINEQUIL_ATTRIBUTE(app_idx);
    BRINEQUIL_ATTRIBUTE(diss);
    BRINEQUIL_ATTRIBUTE(nu);
    BRINEQUIL_ATTRIBUTE(K);
    BRINEQUIL_ATTRIBUTE(B);
    BRINEQUIL_ATTRIBUTE(antoine);
    BRINEQUIL_ATTRIBUTE(henry);
    BRINEQUIL_ATTRIBUTE(vc);
    BRINEQUIL_ATTRIBUTE(pure);
    BRINEQUIL_ATTRIBUTE(options);
#undef BRINEQUIL_ATTRIBUTE

    cls.def(
        "_status",
        [](py::handle self) {
            Electrolyte& el = electrolyte(self);
            Electrolyte::Status s;
            {
                std::lock_guard<std::mutex> held(el.lock.m);
                s = status_of(el);
            }
            return status_dict(s);
        },
        "Outcome of the most recent operations: whether the last true_amounts met its tolerance "
        "and its Newton iterations, the MINPACK status of the last _flash_newton and the final "
        "substitution error of the last flash_tp (None where none ran since _reset_status)");
    cls.def(
        "_reset_status",
        [](py::handle self) {
            Electrolyte& el = electrolyte(self);
            std::lock_guard<std::mutex> held(el.lock.m);
            status_of(el) = Electrolyte::Status{};
        },
        "Forget the outcomes that _status reports");

    // `_warm` reads, sets and deletes like an instance attribute; the record itself is kept in
    // C++ between speciations (see Electrolyte::Warm).
    cls.attr("_warm") =
        py::module_::import("builtins")
            .attr("property")(
                py::cpp_function([](py::handle self) { return warm_get(self); }),
                py::cpp_function(
                    [](py::handle self, py::object v) { warm_set(self, std::move(v)); }),
                py::cpp_function([](py::handle self) { warm_del(self); }),
                "Warm start of the speciation (T [K], n / total, ln gamma); set by true_amounts");

    cls.def(
        "lnK", [](py::handle self, double T) { return to_numpy(ln_k(self_of(self), T)); },
        py::arg("T"), "ln K of every equilibrium reaction at T [K] (mole-fraction basis)");

    cls.def(
        "true_amounts",
        [](py::handle self, py::handle n_app, double T, double tol, int maxit) {
            Speciation s = speciate(self, n_app, T, tol, maxit);
            return py::make_tuple(to_numpy(s.n), to_numpy(s.lng));
        },
        py::arg("n_app"), py::arg("T"), py::arg("tol") = 1e-11, py::arg("maxit") = 200,
        "True amounts [same unit as n_app] and ln gamma of an apparent composition "
        "{component: amount} at T");

    cls.def(
        "_residual",
        [](py::handle self, py::handle n_app, double T, py::handle n, py::handle lng) {
            const std::optional<double> r =
                speciation_residual(self, n_app, T, to_vector(n, "n"), to_vector(lng, "lng"));
            return r ? py::object(py::float_(*r)) : py::object(py::none());
        },
        py::arg("n_app"), py::arg("T"), py::arg("n"), py::arg("lng"),
        "Largest residual of the speciation (n, lng) of n_app at T: reactions [ln units] and "
        "invariants [relative to the feed]; inf for a negative or non-finite n or residual; "
        "None where lnK or henry_ref is replaced in Python");

    cls.def(
        "henry_ref",
        [](py::handle self, double T, py::object x, py::object lng) {
            (void)lng;  // accepted for the speciation's calling convention; not needed
            if (x.is_none()) return to_numpy(henry_ref(self_of(self), T, nullptr));
            Eigen::VectorXd xv = to_vector(x, "x");
            return to_numpy(henry_ref(self_of(self), T, &xv));
        },
        py::arg("T"), py::arg("x") = py::none(), py::arg("lng") = py::none(),
        "ln gamma infinity of the Henry components (their unsymmetric convention in the "
        "equilibria)");

    cls.def(
        "ln_h_mix",
        [](py::handle self, py::object i, py::object x, double T) {
            return ln_h_mix(self_of(self), i, to_vector(x, "x"), T);
        },
        py::arg("i"), py::arg("x"), py::arg("T"),
        "ln (H / gamma_inf)_mix of a Henry component (Pa)");

    cls.def(
        "_lc_molecular",
        [](py::handle self, py::object x, py::object T, py::object tm) {
            (void)T;  // the temperature enters through tm only
            const Electrolyte& el = self_of(self);
            SpeciesSets sets = species_sets(el, kSpN | kSpMol);
            Eigen::VectorXd xv = to_vector(x, "x");
            core::MolecularNrtl lc;
            molecular_term(tm, sets.mol, lc);
            Eigen::VectorXd out(sets.n);
            lc.ln_gamma(xv, out);
            return to_numpy(out);
        },
        py::arg("x"), py::arg("T"), py::arg("tm"),
        "ln gamma of the local composition term with the molecules only (gamma infinity in a "
        "pure solvent)");
}

}  // namespace brinequil::host
