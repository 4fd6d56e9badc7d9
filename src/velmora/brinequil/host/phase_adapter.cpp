#include "host/phase_adapter.hpp"

#include "enthalpy/enthalpy.hpp"
#include "host/activity.hpp"
#include "host/model_api.hpp"
#include "model/errors.hpp"

namespace brinequil::host::adapt {

std::vector<std::string> to_names(py::handle seq) {
    std::vector<std::string> out;
    for (py::handle h : seq) {
        if (!py::isinstance<py::str>(h))
            throw py::type_error("names must be strings, not " +
                                 std::string(py::str(py::type::of(h).attr("__name__"))));
        out.push_back(py::cast<std::string>(h));
    }
    return out;
}

Eigen::Index find_name(const std::vector<std::string>& names, const std::string& name) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<Eigen::Index>(i);
    return -1;
}

namespace {
// The module velmora.phasekit: the loaded one (sys.modules), imported when it is not there.
py::object phasekit_module() {
    static PyObject* key = PyUnicode_InternFromString("velmora.phasekit");  // leaked, like the module
    if (!key) throw py::error_already_set();
    if (PyObject* m = PyImport_GetModule(key)) return py::reinterpret_steal<py::object>(m);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::module_::import("velmora.phasekit");
}
}  // namespace

py::object phasekit(const char* name) { return phasekit_module().attr(name); }

bool phasekit_own(py::handle fn, const char* name) {
    py::object own = phasekit_module().attr("_NATIVE");
    PyObject* v = PyDict_Check(own.ptr()) ? PyDict_GetItemString(own.ptr(), name) : nullptr;  // borrowed
    return v != nullptr && v == fn.ptr();
}

namespace {

// mapping.get(key), with None for a missing key and for a missing/None mapping.
py::object get(py::handle mapping, const char* key) {
    if (mapping.is_none()) return py::none();
    return mapping.attr("get")(key);
}

std::pair<std::array<double, 6>, double> ion_params(py::handle pure, const std::string& name) {
    std::array<double, 6> cp{0, 0, 0, 0, 0, 0};
    double dh = 0.0;
    py::object p = get(pure, name.c_str());
    if (p.is_none()) return {cp, dh};
    py::object cpaq = get(get(p, "tdep"), "CP_AQ");
    if (!cpaq.is_none() && truthy(cpaq)) {
        py::object coeffs = get(cpaq, "coeffs");
        if (!coeffs.is_none()) {
            std::size_t k = 0;
            for (py::handle c : coeffs) {
                if (k == 6) break;
                cp[k++] = to_double(c);
            }
        }
    }
    py::object dhf = get(get(p, "scalar"), "DHF_AQ");
    if (!dhf.is_none() && truthy(dhf)) dh = to_double(dhf[py::int_(0)]);
    return {cp, dh};
}

}  // namespace

double liquid_enthalpy(py::handle el, py::handle pp, py::handle n_obj, double T, py::handle P,
                       py::handle pure_obj) {
    const double R = to_double(phasekit("R"));
    py::object dh_ref = phasekit("_dh_ref");
    py::object k_h_ig = phasekit("_k_h_ig");
    py::object sp = el.attr("sp");
    const std::vector<std::string> names = to_names(el.attr("names"));
    const Eigen::VectorXd n = to_vec(n_obj, "n");
    const std::vector<std::string> comps = to_names(pp.attr("components"));

    std::vector<Eigen::Index> comp_pos(comps.size());
    for (std::size_t k = 0; k < comps.size(); ++k) comp_pos[k] = find_name(names, comps[k]);
    std::vector<bool> is_ion;
    for (py::handle f : sp.attr("ion")) is_ion.push_back(truthy(f));

    py::object pure = (!pure_obj.is_none() && truthy(pure_obj))
                          ? py::reinterpret_borrow<py::object>(pure_obj)
                          : py::object(py::dict());

    core::LiquidEnthalpyHooks hooks;
    hooks.h_ig = [&] {
        py::object res = k_h_ig(T, pp.attr("cpig_kind"), pp.attr("cpig"), pp.attr("DHFORM"));
        if (py::len(res) != 2)
            throw py::value_error("_k_h_ig must return a pair (enthalpies, entropies)");
        return to_vec(res[py::int_(0)], "ideal-gas enthalpies");
    };
    hooks.dh_ref = [&](const Eigen::VectorXd& xa) {
        return to_vec(dh_ref(pp, T, to_numpy(xa), P), "reference enthalpies");
    };
    hooks.ion_params = [&](Eigen::Index i) {
        if (i >= static_cast<Eigen::Index>(names.size()))
            throw core::IndexError("species index out of range of the names");
        return ion_params(pure, names[static_cast<std::size_t>(i)]);
    };
    // the three-argument call: the model's options are not passed here
    Activity activity(sp, py::handle());
    hooks.ln_gamma = [&](const Eigen::VectorXd& x, double t) {
        Eigen::VectorXd out;
        activity.ln_gamma(x, t, out);
        return out;
    };
    return core::liquid_enthalpy(n, T, comp_pos, is_ion, R, hooks);
}

}  // namespace brinequil::host::adapt
