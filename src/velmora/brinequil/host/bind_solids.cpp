// Solid-liquid equilibrium of one set of present solids, for velmora.solids (private binding
// Electrolyte._solid_newton): the model's activity and Henry reference for the core's joint
// Newton (equilibrium/solid_liquid), which runs without the GIL where neither calls Python.
#include <optional>
#include <string>

#include "equilibrium/solid_liquid.hpp"
#include "host/activity.hpp"
#include "host/convert.hpp"
#include "host/electrolyte.hpp"
#include "host/model_api.hpp"
#include "model/errors.hpp"

namespace brinequil::host {

namespace {

using DArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// The model at T for the joint Newton: the activity model (its Python path looked up at each
// call) and self.henry_ref's C++ method, whose species-object reads each call makes anew.
class SolidModel : public core::SolidLiquidModel {
public:
    SolidModel(Activity& act, const Electrolyte& el, double T) : act_(act), el_(el), T_(T) {}
    void ln_gamma(const VectorXd& x, VectorXd& out) override { act_.ln_gamma(x, T_, out); }
    void henry_ref(const VectorXd* x, VectorXd& out) override { out = host::henry_ref(el_, T_, x); }

private:
    Activity& act_;
    const Electrolyte& el_;
    double T_;
};

py::tuple solid_newton(py::handle self, py::handle n0_obj, double T, py::handle nus_obj,
                       py::handle ln_ksp_obj, py::handle s_obj, py::handle n_obj,
                       py::handle lng_obj, double tol, int maxit, py::handle jac_obj) {
    Electrolyte& el = electrolyte(self);
    const core::Stoichiometry& st = *el.stoich;
    const Index ns = st.n_species();
    VectorXd n0 = to_vector(n0_obj, "n0"), ln_ksp = to_vector(ln_ksp_obj, "ln_ksp"),
             s = to_vector(s_obj, "s"), n = to_vector(n_obj, "n"), lng = to_vector(lng_obj, "lng");
    DArray a = DArray::ensure(nus_obj);
    if (!a || a.ndim() != 2)
        throw core::TypeError("nu_s: a two-dimensional array of numbers is required");
    const Index k = a.shape(0);
    core::check_solid_inputs(ns, n0, n, lng, a.shape(1), k, ln_ksp, s);
    // jac: the caller's (nu; nu_s) d lng / d ln n, in and out (see the binding's doc)
    using RowArray = py::array_t<double, py::array::c_style>;
    std::optional<RowArray> jac;
    const Index rows = st.n_eq() + k;
    if (!jac_obj.is_none()) {
        if (!py::isinstance<RowArray>(jac_obj) ||
            !RowArray(py::reinterpret_borrow<py::object>(jac_obj)).writeable())
            throw core::TypeError("jac: a writable C-ordered float64 array is required");
        jac = py::reinterpret_borrow<RowArray>(jac_obj);
        if (jac->ndim() != 2 || jac->shape(0) != rows || jac->shape(1) != ns)
            throw core::ValueError(
                "_solid_newton: jac needs one row per reaction and solid, one column per species");
    }
    auto done = [&](core::SolidStatus status, int its) {
        return py::make_tuple(to_numpy(n), to_numpy(lng), to_numpy(s), static_cast<int>(status),
                              its);
    };
    // the speciation's own methods only: a Python override would not be seen here
    if (python_override(self, "true_amounts") || python_override(self, "lnK") ||
        python_override(self, "henry_ref"))
        return done(core::kSolidOverridden, 0);
    const MatrixXd nus =
        Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(
            a.data(), k, ns);
    const VectorXd lnK = ln_k(el, T);
    const bool henry = !species_sets(el, kSpHenry).henry.empty();
    py::object mode = el.options.attr("get")("henry_ref");
    const std::string m = py::isinstance<py::str>(mode) ? mode.cast<std::string>() : "";
    const bool follows = m == "solvent" || m == "mixture";
    Activity act(el.sp, el.options);
    SolidModel model(act, el, T);
    int its = 0;
    using RowMap =
        Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;
    MatrixXd carried;
    if (jac) carried = RowMap(jac->mutable_data(), rows, ns);
    auto solve = [&] {
        return core::solve_solid_liquid(st, n0, lnK, nus, ln_ksp, model, henry, follows, n, lng, s,
                                        tol, maxit, its, jac ? &carried : nullptr);
    };
    core::SolidStatus status;
    if (!henry && act.native(ns)) {
        py::gil_scoped_release nogil;
        status = solve();
    } else {
        status = solve();
    }
    if (jac) RowMap(jac->mutable_data(), rows, ns) = carried;
    return done(status, its);
}

}  // namespace

void bind_solids(py::module_&, ElectrolyteClass& cls) {
    cls.def("_solid_newton", &solid_newton, py::arg("n0"), py::arg("T"), py::arg("nu_s"),
            py::arg("ln_ksp"), py::arg("s"), py::arg("n"), py::arg("lng"), py::arg("tol") = 1e-14,
            py::arg("maxit") = 60, py::arg("jac") = py::none(),
            "The liquid and the amounts of a set of solids in equilibrium with it: Newton's "
            "method on the speciation's equations and the solids' saturation together, from "
            "the true amounts n (ln gamma lng) and solid amounts s. n0: the feed on the "
            "species; nu_s: the solids' dissolution into the species (a row each); ln_ksp: "
            "their ln Ksp (mole-fraction basis). Returns (n, lng, s, status, iterations), "
            "status 0 converged (every residual below tol, or below 10 tol where no step "
            "lowers them), 1 not converged, 2 diverged, 3 a method of the model replaced in "
            "Python (nothing done). jac: None, or a float64 array (reactions + solids) x species, "
            "in and out: where finite, the derivative (nu; nu_s) d lng / d ln n the solve with "
            "the model starts from in place of differences (a neighbouring solve's of the same "
            "set and T); given back as the solve left it where it converged from one (a start "
            "at the answer takes none), else NaN");
}

}  // namespace brinequil::host
