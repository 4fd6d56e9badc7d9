#include <pybind11/eigen.h>
#include <pybind11/functional.h>

#include "equilibrium/solvers.hpp"
#include "host/electrolyte.hpp"

namespace brinequil::host {

void bind_equilibrium(py::module_& m, ElectrolyteClass& cls) {
    (void)cls;
    // Private hooks that run the C++ root finders on Python functions (for the tests).
    m.def(
        "_hybrd",
        [](py::function f, Eigen::VectorXd x0) {
            core::SystemFn fn = [&f](const Eigen::VectorXd& x, Eigen::VectorXd& r) {
                py::array_t<double> out = py::array_t<double>::ensure(f(Eigen::VectorXd(x)));
                if (!out || out.ndim() != 1 || out.shape(0) != r.size())
                    throw py::value_error("residual must return one float per unknown");
                for (Eigen::Index i = 0; i < r.size(); ++i) r[i] = out.at(i);
            };
            core::HybrdResult res = core::hybrd(fn, x0);
            return py::make_tuple(res.x, res.nfev, res.status);
        },
        py::arg("f"), py::arg("x0"),
        "Hybrid Powell root of f from x0 (xtol 1e-12): (x, nfev, info)");
    m.def(
        "_brentq",
        [](std::function<double(double)> f, double a, double b) { return core::brentq(f, a, b); },
        py::arg("f"), py::arg("a"), py::arg("b"),
        "Brent root of f on [a, b] (xtol 1e-8)");
}

}  // namespace brinequil::host
