// velmora.brinequil._LiquidJacobian: a liquid's exact derivatives in one call
// (equilibrium/liquid_jacobian.hpp), for velmora.derivatives. Built once per system and list of
// components; a call returns None where the activity model is not the package's own compiled
// one (the caller then takes its Python path).
#include <limits>
#include <optional>
#include <tuple>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/stl.h>

#include "equilibrium/compiled_activity.hpp"
#include "equilibrium/liquid_jacobian.hpp"
#include "host/activity.hpp"
#include "host/convert.hpp"
#include "host/electrolyte.hpp"

namespace brinequil::host {

namespace {

using core::LiquidJacobianModel;

using Pair = std::tuple<int, double, std::vector<double>>;

// The values of a {name: number} mapping in its order (the state's apparent amounts and
// fugacities, passed as they are), or a vector of numbers.
Eigen::VectorXd values(py::handle obj, const char* what) {
    if (!PyDict_CheckExact(obj.ptr())) return to_vector(obj, what);
    Eigen::VectorXd v(PyDict_GET_SIZE(obj.ptr()));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj.ptr(), &pos, &key, &value)) v[k++] = to_double(value);
    return v;
}

}  // namespace

void bind_derivatives(py::module_& m) {
    py::class_<LiquidJacobianModel>(
        m, "_LiquidJacobian", "The fixed data of a liquid's derivatives (velmora.derivatives)")
        .def(py::init([](Eigen::MatrixXd nu, Eigen::MatrixXd B, Eigen::MatrixXd D,
                         Eigen::MatrixXd lnK, Eigen::MatrixXd si_nu, Eigen::MatrixXd si_lnK,
                         std::vector<bool> ion, std::vector<int> henry, std::vector<int> solv,
                         int water, double mw_water, int h3o, std::vector<std::vector<Pair>> pairs,
                         std::vector<std::vector<double>> antoine) {
                 const auto ns = static_cast<std::size_t>(nu.cols());
                 if (ion.size() != ns || pairs.size() != ns || antoine.size() != ns)
                     throw py::value_error("one entry per species expected");
                 LiquidJacobianModel r{std::move(nu),  std::move(B),     std::move(D),
                                       std::move(lnK), std::move(si_nu), std::move(si_lnK)};
                 r.ion.assign(ion.begin(), ion.end());
                 r.henry = std::move(henry);
                 r.solv = std::move(solv);
                 r.water = water;
                 r.mw_water = mw_water;
                 r.h3o = h3o;
                 r.pairs.resize(ns);
                 for (std::size_t i = 0; i < ns; ++i)
                     for (auto& [a, vc23, p] : pairs[i]) r.pairs[i].push_back({a, vc23, p});
                 r.antoine = std::move(antoine);
                 return r;
             }),
             py::arg("nu"), py::arg("B"), py::arg("D"), py::arg("lnK"), py::arg("si_nu"),
             py::arg("si_lnK"), py::arg("ion"), py::arg("henry"), py::arg("solv"), py::arg("water"),
             py::arg("mw_water"), py::arg("h3o"), py::arg("pairs"), py::arg("antoine"))
        .def(
            "__call__",
            [](const LiquidJacobianModel& self, py::handle sp, py::handle options, bool solvent_ref,
               py::handle n_in, py::handle unit, double T, py::handle app_in,
               const std::vector<int>& vol, py::handle pp_in) -> py::object {
                // (n read in place where it is a float vector: the Eigen caster's copy through
                // NumPy costs as much as the rest of the arguments)
                Eigen::VectorXd n = to_vector(n_in, "n");
                if (!unit.is_none()) {
                    // n a b, as numpy's n * (a b), or (n a) b where a b overflows
                    const auto ab = py::reinterpret_borrow<py::tuple>(unit);
                    const double a = to_double(ab[0]), b = to_double(ab[1]), f = a * b;
                    if (f < std::numeric_limits<double>::infinity())
                        n *= f;
                    else
                        n = (n * a) * b;
                }
                const Eigen::VectorXd app = values(app_in, "app"), pp = values(pp_in, "pp");
                Activity activity(sp, options);
                if (!activity.native(n.size())) return py::none();
                core::CompiledDerivatives act(*activity.model(), *activity.options());
                core::LiquidJacobian r;
                {
                    py::gil_scoped_release nogil;
                    core::liquid_jacobian(self, act, solvent_ref, n, T, app, vol, pp, r);
                }
                // (arrays made directly: the Eigen caster's own arrays cost about as much as the
                // activity model's derivatives here)
                py::object pH = py::none();
                if (r.pH.size()) pH = to_numpy(Eigen::VectorXd(r.pH.transpose()));
                return py::make_tuple(to_numpy(r.amounts), to_numpy(r.ln_gamma),
                                      to_numpy(r.molality), to_numpy(r.partial_pressures),
                                      to_numpy(r.saturation_indices), pH, to_numpy(n));
            },
            py::arg("sp"), py::arg("options"), py::arg("solvent_ref"), py::arg("n"),
            py::arg("unit"), py::arg("T"), py::arg("app"), py::arg("vol"), py::arg("pp"),
            "(amounts, ln_gamma, molality, partial_pressures, saturation_indices, pH or None, "
            "the true amounts), each with the columns T, then the components; None where the "
            "activity model is not the package's own compiled one. unit: None, or (a, b): the "
            "true amounts are n a b (LiquidState._in_unit's). app and pp: vectors, or "
            "{name: value} mappings whose values in their order are them");
}

}  // namespace brinequil::host
