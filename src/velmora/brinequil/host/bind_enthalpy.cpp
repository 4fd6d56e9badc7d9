#include <pybind11/eigen.h>

#include "enthalpy/enthalpy.hpp"
#include "host/electrolyte.hpp"
#include "host/phase_adapter.hpp"

namespace brinequil::host {

void bind_enthalpy(py::module_& m) {
    m.def(
        "h_aqueous",
        [](py::object coeffs, double dhaq, double T, double Tref) {
            std::array<double, 6> c{0, 0, 0, 0, 0, 0};
            std::size_t k = 0;
            for (py::handle v : py::iter(coeffs)) {  // the whole iterable, the first six used
                if (k < 6) c[k] = adapt::to_double(v);
                ++k;
            }
            return core::h_aqueous(c, dhaq, T, Tref);
        },
        py::arg("coeffs"), py::arg("dhaq"), py::arg("T"), py::arg("Tref") = 298.15,
        "Enthalpy [J/kmol] of an ion at infinite dilution in water at T: DHF_AQ plus the integral "
        "of the CP_AQ polynomial C1 + C2 T + ... + C6 T^5 from Tref");
    m.def(
        "liquid_enthalpy",
        [](py::object el, py::object pp, py::object n, double T, py::object P, py::object pure) {
            return adapt::liquid_enthalpy(el, pp, n, T, P, pure);
        },
        py::arg("el"), py::arg("pp"), py::arg("n"), py::arg("T"), py::arg("P") = py::none(),
        py::arg("pure") = py::none(),
        "Enthalpy [J per unit of n] of an electrolyte liquid of true amounts n at T: molecules on "
        "the package's liquid reference, ions at infinite dilution, and the excess enthalpy");
    py::class_<adapt::PreparedEnthalpy>(
        m, "_LiquidEnthalpy",
        "liquid_enthalpy's data of one model (el, its pure records) and package (pp), read once: "
        "the enthalpy of many liquids and its gradient (velmora.states, velmora.derivatives)")
        .def(py::init<py::handle, py::handle, py::handle>(), py::arg("el"), py::arg("pp"),
             py::arg("pure"))
        .def(
            "__call__",
            [](const adapt::PreparedEnthalpy& self, py::handle sp, const Eigen::VectorXd& n,
               double T) -> py::object {
                const std::optional<double> H = self.value(sp, n, T);
                return H ? py::object(py::float_(*H)) : py::object(py::none());
            },
            py::arg("sp"), py::arg("n"), py::arg("T"),
            "liquid_enthalpy(el, pp, n, T, None, pure) with the activity model sp, the same "
            "digits; None where it is not worked out here (then call liquid_enthalpy)")
        .def(
            "gradient",
            [](const adapt::PreparedEnthalpy& self, py::handle sp, py::handle options,
               bool fixed_ion_fractions, const Eigen::VectorXd& n, double T) -> py::object {
                Eigen::VectorXd g;
                double dT = 0.0;
                if (!self.gradient(sp, options, fixed_ion_fractions, n, T, g, dT))
                    return py::none();
                return py::make_tuple(g, dT);
            },
            py::arg("sp"), py::arg("options"), py::arg("fixed_ion_fractions"), py::arg("n"),
            py::arg("T"),
            "(dH/dn [J/kmol per species], dH/dT at fixed n) of liquid_enthalpy's H(n, T), the "
            "excess term's difference differentiated exactly with the activity model's "
            "derivatives at its options; None where it is not worked out here");
}

}  // namespace brinequil::host
