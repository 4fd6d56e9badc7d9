// Python binding of the electrolyte NRTL core: velmora.ionactivity._enrtl.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "capi.hpp"
#include "model.hpp"

namespace py = pybind11;
using enrtl::Model;
using enrtl::Options;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::object lookup(py::handle options, const char* key) {
    // Null object when the key is absent; a dict is read directly, other mappings by `in` and [].
    if (PyDict_Check(options.ptr())) {
        PyObject* v = PyDict_GetItemString(options.ptr(), key);
        return v ? py::reinterpret_borrow<py::object>(v) : py::object();
    }
    if (!options.contains(key)) return py::object();
    return options[py::str(key)];
}

Options parse_options(py::handle options) {
    Options o;
    if (options.is_none()) return o;
    if (py::object lc = lookup(options, "lc_ref")) {
        const char* s = PyUnicode_Check(lc.ptr()) ? PyUnicode_AsUTF8(lc.ptr()) : nullptr;
        if (s && std::strcmp(s, "water-ratio") == 0)
            o.lc_ref = enrtl::LcRef::WaterRatio;
        else if (s && std::strcmp(s, "fused-salt") == 0)
            o.lc_ref = enrtl::LcRef::FusedSalt;
        else
            throw py::value_error("option \"lc_ref\" has the unknown value " +
                                  std::string(py::repr(lc)) +
                                  " (accepted: \"water-ratio\", \"fused-salt\")");
    }
    if (py::object fy = lookup(options, "fixed_Y")) {
        const char* tn = Py_TYPE(fy.ptr())->tp_name;
        if (fy.ptr() == Py_True)
            o.fixed_Y = true;
        else if (fy.ptr() == Py_False)
            o.fixed_Y = false;
        else if (std::strcmp(tn, "numpy.bool_") == 0 || std::strcmp(tn, "numpy.bool") == 0)
            o.fixed_Y = PyObject_IsTrue(fy.ptr()) == 1;
        else
            throw py::value_error("option \"fixed_Y\" has the unknown value " +
                                  std::string(py::repr(fy)) + " (accepted: True, False)");
    }
    return o;
}

Eigen::Map<const Eigen::VectorXd> vector_arg(const Array& x, int n) {
    if (x.ndim() != 1 || x.shape(0) != n)
        throw py::value_error("x must be a vector of " + std::to_string(n) + " mole fractions");
    return {x.data(), n};
}

py::array_t<double> matrix_to_numpy(const Eigen::MatrixXd& M) {
    py::array_t<double> a({M.rows(), M.cols()});
    auto r = a.mutable_unchecked<2>();
    for (Eigen::Index i = 0; i < M.rows(); ++i)
        for (Eigen::Index j = 0; j < M.cols(); ++j) r(i, j) = M(i, j);
    return a;
}

// ---- the C interface for other extension modules ---------------------------------------------

Model* model_of(PyObject* obj) {
    static PyObject* type = py::type::of<Model>().ptr();
    if (obj == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(obj)) != type) return nullptr;
    return py::cast<Model*>(py::handle(obj));
}

int parse_options_c(PyObject* options, Options* out) {
    try {
        *out = parse_options(py::handle(options));
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    }
    return -1;
}

const enrtl::CApi kApi{enrtl::kCApiVersion, &model_of, &parse_options_c};

enrtl::Correlation correlation(const py::handle& t) {
    auto tup = t.cast<py::tuple>();
    return {tup[0].cast<int>(), tup[1].cast<std::vector<double>>()};
}

}  // namespace

PYBIND11_MODULE(_enrtl, m) {
    m.doc() = "Electrolyte NRTL core: ln gamma as the exact gradient of n G^ex/RT.";
    m.add_object("_C_API", py::capsule(static_cast<const void*>(&kApi), enrtl::kCApiCapsule));

    py::class_<Model>(m, "Model")
        .def(
            py::init([](const std::vector<int>& kind, std::vector<int> z, std::vector<double> mw,
                        std::vector<double> born, std::vector<int> solvents, py::list density,
                        py::list dielectric, py::list mol_pairs, py::list pairs,
                        py::list ion_triples, py::list dilute_terms) {
                enrtl::ModelData d;
                for (int k : kind) d.kind.push_back(static_cast<enrtl::Kind>(k));
                d.z = std::move(z);
                d.mw = std::move(mw);
                d.born = std::move(born);
                d.solvents = std::move(solvents);
                for (auto t : density) d.density.push_back(correlation(t));
                for (auto t : dielectric) d.dielectric.push_back(correlation(t));
                for (auto t : mol_pairs) {
                    auto tup = t.cast<py::tuple>();
                    auto p = tup[2].cast<std::vector<double>>();
                    if (p.size() != 10) throw py::value_error("a molecule pair needs 10 numbers");
                    enrtl::MoleculePair mp{tup[0].cast<int>(), tup[1].cast<int>(), {}};
                    std::copy(p.begin(), p.end(), mp.p);
                    d.mol_pairs.push_back(mp);
                }
                for (auto t : pairs) {
                    auto tup = t.cast<py::tuple>();
                    auto p = tup[3].cast<std::vector<double>>();
                    if (p.size() != 9 && p.size() != 13)
                        throw py::value_error("an electrolyte pair needs 9 or 13 numbers");
                    enrtl::ElectrolytePair ep{
                        tup[0].cast<int>(), tup[1].cast<int>(), tup[2].cast<int>(), {}};  // zeros
                    std::copy(p.begin(), p.end(), ep.p);
                    d.pairs.push_back(ep);
                }
                for (auto t : ion_triples) {
                    auto tup = t.cast<py::tuple>();
                    auto p = tup[3].cast<std::vector<double>>();
                    if (p.size() != 2) throw py::value_error("an ion triple needs 2 numbers");
                    d.ion_triples.push_back(
                        {tup[0].cast<int>(), tup[1].cast<int>(), tup[2].cast<int>(), {p[0], p[1]}});
                }
                for (auto t : dilute_terms) {  // (m, c, p) like-ion, (m, c, a, p) salt pair
                    auto tup = t.cast<py::tuple>();
                    const bool pair = tup.size() == 4;
                    auto p = tup[pair ? 3 : 2].cast<std::vector<double>>();
                    if (p.size() != 2) throw py::value_error("a dilute term needs 2 numbers");
                    d.dilute_terms.push_back({tup[0].cast<int>(),
                                              tup[1].cast<int>(),
                                              {p[0], p[1]},
                                              pair ? tup[2].cast<int>() : -1});
                }
                return new Model(std::move(d));
            }),
            py::arg("kind"), py::arg("z"), py::arg("mw"), py::arg("born"), py::arg("solvents"),
            py::arg("density"), py::arg("dielectric"), py::arg("mol_pairs"), py::arg("pairs"),
            py::arg("ion_triples") = py::list(), py::arg("dilute_terms") = py::list())
        .def_property_readonly("n", &Model::n)
        .def(
            "ln_gamma",
            [](Model& self, const Array& x, double T, py::handle options) {
                const Options o = parse_options(options);
                const auto xv = vector_arg(x, self.n());
                py::array_t<double> out(self.n());
                Eigen::Map<Eigen::VectorXd> ov(out.mutable_data(), self.n());
                {
                    py::gil_scoped_release nogil;
                    self.ln_gamma(xv, T, o, ov);
                }
                return out;
            },
            py::arg("x"), py::arg("T"), py::arg("options") = py::none())
        .def(
            "ln_gamma_derivatives",
            [](Model& self, const Array& x, double T, py::handle options,
               std::optional<std::vector<int>> directions) {
                const Options o = parse_options(options);
                const auto xv = vector_arg(x, self.n());
                const int n = self.n();
                py::array_t<double> out(n), dT(n);
                py::array_t<double, py::array::f_style> J({n, n});
                Eigen::Map<Eigen::VectorXd> ov(out.mutable_data(), n), tv(dT.mutable_data(), n);
                Eigen::Map<Eigen::MatrixXd> Jv(J.mutable_data(), n, n);
                {
                    py::gil_scoped_release nogil;
                    self.ln_gamma_derivatives(xv, T, o, ov, Jv, tv,
                                              directions ? &*directions : nullptr);
                }
                return py::make_tuple(out, J, dT);
            },
            py::arg("x"), py::arg("T"), py::arg("options") = py::none(),
            py::arg("directions") = py::none(),
            "(ln gamma, J, dT): J[i, j] = d ln gamma_i / d x_j (x as amounts, the others held), "
            "dT[i] = d ln gamma_i / dT [1/K]; exact (nested dual numbers). directions: the "
            "columns wanted (species indices, n for dT), the others 0; all by default")
        .def(
            "ln_gamma_parameter_derivatives",
            [](Model& self, const Array& x, double T, py::handle options,
               const std::vector<std::tuple<std::string, int, int>>& params) {
                const Options o = parse_options(options);
                const auto xv = vector_arg(x, self.n());
                std::vector<enrtl::ParamDir> ps;
                for (const auto& [kind, pair, coef] : params) {
                    static const char* kKinds[] = {"electrolyte", "molecule", "mixing", "dilute"};
                    const auto at = std::find(std::begin(kKinds), std::end(kKinds), kind);
                    if (at == std::end(kKinds))
                        throw py::value_error("parameter kind \"" + kind +
                                              "\" is not \"electrolyte\", \"molecule\", "
                                              "\"mixing\" or \"dilute\"");
                    ps.push_back({static_cast<int>(at - std::begin(kKinds)), pair, coef});
                }
                const int n = self.n(), np = static_cast<int>(ps.size());
                py::array_t<double> out(n);
                py::array_t<double, py::array::f_style> dP({n, np});
                Eigen::Map<Eigen::VectorXd> ov(out.mutable_data(), n);
                Eigen::Map<Eigen::MatrixXd> Pv(dP.mutable_data(), n, np);
                {
                    py::gil_scoped_release nogil;
                    self.ln_gamma_parameter_derivatives(xv, T, o, ov, Pv, ps);
                }
                return py::make_tuple(out, dP);
            },
            py::arg("x"), py::arg("T"), py::arg("options"), py::arg("params"),
            "(ln gamma, dP): dP[i, k] = d ln gamma_i / d params[k] at the amounts x and T [K]; "
            "params: (\"electrolyte\", pair, coefficient 0-12 but 8) or (\"molecule\", pair, "
            "coefficient 0-9) or (\"mixing\", triple, coefficient 0-1) or (\"dilute\", term, "
            "coefficient 0-1), indices into the constructor's pairs, ion triples and dilute "
            "terms (like-ion or salt-pair) and their numbers; exact")
        .def(
            "gex",
            [](Model& self, const Array& x, double T, py::handle options) {
                const Options o = parse_options(options);
                return self.gex(vector_arg(x, self.n()), T, o);
            },
            py::arg("x"), py::arg("T"), py::arg("options") = py::none(),
            "G^ex/(N R T) of the function whose gradient is ln_gamma")
        .def(
            "molecule_tau",
            [](Model& self, double T) {
                Eigen::MatrixXd tau(self.n(), self.n()), alpha(self.n(), self.n());
                self.molecule_tau(T, tau, alpha);
                return py::make_tuple(matrix_to_numpy(tau), matrix_to_numpy(alpha));
            },
            py::arg("T"), "(tau, alpha) of the molecule-molecule pairs at T [K], indexed [j, m]")
        .def(
            "solvent_mix",
            [](Model& self, const Array& x, double T) {
                auto s = self.solvent_mix(vector_arg(x, self.n()), T);
                py::dict d;
                d["Ms"] = s.Ms;
                d["rho"] = s.rho;
                d["eps"] = s.eps;
                d["A_phi"] = s.A_phi;
                return d;
            },
            "ion-free solvent mixture of x: molar mass kg/kmol, density kg/m3, permittivity, "
            "Debye-Hueckel osmotic slope (kg/mol)^1/2");
}
