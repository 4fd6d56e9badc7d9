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
}

}  // namespace brinequil::host
