#include "host/phase_adapter.hpp"

#include <algorithm>
#include <unordered_map>

#include "enthalpy/enthalpy.hpp"
#include "host/activity.hpp"
#include "host/model_api.hpp"
#include "equilibrium/compiled_activity.hpp"
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
    static PyObject* key =
        PyUnicode_InternFromString("velmora.phasekit");  // leaked, like the module
    if (!key) throw py::error_already_set();
    if (PyObject* m = PyImport_GetModule(key)) return py::reinterpret_steal<py::object>(m);
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::module_::import("velmora.phasekit");
}
}  // namespace

namespace {
// An interned str of a name written in the source (hashed once; leaked like the module). The
// GIL guards the table.
PyObject* interned(const char* name) {
    static auto* table = new std::unordered_map<const char*, PyObject*>();
    PyObject*& s = (*table)[name];
    if (!s && !(s = PyUnicode_InternFromString(name))) throw py::error_already_set();
    return s;
}

// fn is the function phasekit's _NATIVE (`native`) records under `name`.
bool native_is(py::handle native, const char* name, PyObject* fn) {
    PyObject* v = PyDict_Check(native.ptr()) ? PyDict_GetItemWithError(native.ptr(), interned(name))
                                             : nullptr;  // borrowed
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v != nullptr && v == fn;
}

// The function `name` of phasekit is the one its _NATIVE records under that name.
bool own_in(py::handle mod, py::handle native, const char* name) {
    PyObject* fn = PyObject_GetAttr(mod.ptr(), interned(name));
    if (!fn) throw py::error_already_set();
    Py_DECREF(fn);  // still referenced by the module's dict (only its identity is compared)
    return native_is(native, name, fn);
}
}  // namespace

py::object phasekit(const char* name) {
    PyObject* v = PyObject_GetAttr(phasekit_module().ptr(), interned(name));
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

bool phasekit_own(py::handle fn, const char* name) {
    return native_is(phasekit("_NATIVE"), name, fn.ptr());
}

// phi_vapor is the package's own and pp.vapor is "ideal": ln phi = 0 for every component,
// without the call. Any other vapor model (or a pp without `vapor`) is called.
bool ideal_vapor(py::handle phi_vapor, py::handle pp) {
    if (!phasekit_own(phi_vapor, "phi_vapor")) return false;
    PyObject* v = PyObject_GetAttrString(pp.ptr(), "vapor");
    if (!v) {
        PyErr_Clear();
        return false;
    }
    const bool ideal = PyUnicode_CheckExact(v) && PyUnicode_CompareWithASCIIString(v, "ideal") == 0;
    Py_DECREF(v);
    return ideal;
}

namespace {

// The phasekit functions that the C++ enthalpy and entropy stand for, those they call included.
constexpr const char* kPortedFunctions[] = {
    "enthalpy_vapor", "entropy_vapor", "entropy_liquid", "_k_h_ig", "_dh_ref",
    "_ig_terms",      "_ref_terms",    "_dh_terms",      "_frac",   "_vapor_departure",
    "_coth_int",      "_tanh_int",     "_sinh_s",        "_cosh_s", "_liquid_cp_terms",
    "_liquid_cp_dh",  "_dln_antoine"};

// The first N numbers of a sequence (float() of each; zeros past its end), IndexError when it
// has fewer than min_len.
template <std::size_t N>
std::array<double, N> numbers(py::handle seq, std::size_t min_len) {
    std::array<double, N> out{};
    const std::size_t len = py::len(seq);
    if (len < min_len) throw core::IndexError("too few coefficients");
    for (std::size_t i = 0; i < N && i < len; ++i) out[i] = to_double(seq[py::int_(i)]);
    return out;
}

core::PackageData read_package(py::handle pp, const std::vector<std::string>& comps) {
    py::module_ pk = py::reinterpret_borrow<py::module_>(phasekit_module());
    core::PackageData d;
    d.R = to_double(pk.attr("R"));
    d.T_ref = to_double(pk.attr("T_REF"));
    d.P_ref = to_double(pk.attr("P_REF"));
#if PY_VERSION_HEX >= 0x030C0000
    d.summation = core::Summation::Compensated;
#endif
    const std::size_t nc = comps.size();
    py::object dhform = pp.attr("DHFORM"), kinds = pp.attr("cpig_kind"), cpig = pp.attr("cpig");
    if (py::len(dhform) != nc) throw core::ValueError("DHFORM");
    const bool single = py::isinstance<py::str>(kinds);
    for (std::size_t k = 0; k < nc; ++k) {
        py::object kind = single ? kinds : py::object(kinds[py::int_(k)]);
        const std::string name = py::cast<std::string>(kind);
        if (name == "poly")
            d.cp_kind.push_back(core::PackageData::Cp::Poly);
        else if (name == "aly-lee")
            d.cp_kind.push_back(core::PackageData::Cp::AlyLee);
        else
            throw core::ValueError("heat-capacity form");
        std::vector<double> c;
        for (py::handle v : cpig[py::int_(k)]) c.push_back(to_double(v));
        d.cp.push_back(std::move(c));
        d.dhform.push_back(to_double(dhform[py::int_(k)]));
    }
    py::object henry_comps = pp.attr("henry_comps");
    py::object henry = pp.attr("henry"), vc = pp.attr("vc"), antoine = pp.attr("antoine"),
               dhref = pp.attr("dhref");
    if (!PyDict_CheckExact(henry.ptr()) || !PyDict_CheckExact(vc.ptr()) ||
        !PyDict_CheckExact(antoine.ptr()) || !PyDict_CheckExact(dhref.ptr()))
        throw core::TypeError("tables");
    auto position = [&](py::handle name) -> Eigen::Index {
        if (!py::isinstance<py::str>(name)) return -1;
        return find_name(comps, py::cast<std::string>(name));
    };
    for (std::size_t k = 0; k < nc; ++k) {
        py::str c(comps[k]);
        const bool is_henry = henry_comps.contains(c);
        d.henry.push_back(is_henry);
        d.pairs.emplace_back();
        d.antoine.emplace_back();
        d.dhref.push_back(to_double(py::reinterpret_borrow<py::dict>(dhref).attr("get")(c, 0.0)));
        if (is_henry) {
            for (auto item : py::reinterpret_borrow<py::dict>(henry)) {
                py::tuple key = py::reinterpret_borrow<py::tuple>(item.first);
                if (!py::isinstance<py::tuple>(item.first) || key.size() != 2)
                    throw core::TypeError("Henry table keys");
                if (!py::isinstance<py::str>(key[0]) || py::cast<std::string>(key[0]) != comps[k])
                    continue;
                core::PackageData::HenryPair pr;
                pr.solvent = position(key[1]);
                py::object v = py::reinterpret_borrow<py::dict>(vc).attr("get")(key[1], 0.1);
                pr.vc_weight = std::pow(to_double(v), 2.0 / 3.0);
                pr.p = numbers<5>(item.second, 4);
                d.pairs.back().push_back(pr);
            }
        } else if (antoine.contains(c)) {
            d.antoine.back() = numbers<7>(antoine[c], 7);
        }
    }
    // the solvents' liquid heat capacities {name: (t0, coefficients)}, where the package has them
    py::object cpl = py::getattr(pp, "cpl", py::none());
    if (!cpl.is_none() && truthy(cpl)) {
        if (!PyDict_CheckExact(cpl.ptr())) throw core::TypeError("tables");
        d.cpl.resize(nc);
        for (std::size_t k = 0; k < nc; ++k) {
            PyObject* found = PyDict_GetItemWithError(cpl.ptr(), py::str(comps[k]).ptr());
            if (!found && PyErr_Occurred()) throw py::error_already_set();
            if (!found) continue;
            py::object rec = py::reinterpret_borrow<py::object>(found);
            core::PackageData::LiquidCp cp;
            cp.t0 = to_double(rec[py::int_(0)]);
            for (py::handle v : rec[py::int_(1)]) cp.c.push_back(to_double(v));
            d.cpl[k] = std::move(cp);
        }
    }
    return d;
}

// mapping.get(key), with None for a missing key and for a missing/None mapping.
py::object get(py::handle mapping, py::handle key) {
    if (mapping.is_none()) return py::none();
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        return v ? py::reinterpret_borrow<py::object>(v) : py::object(py::none());
    }
    return mapping.attr("get")(key);
}
py::object get(py::handle mapping, const char* key) {
    return get(mapping, py::handle(interned(key)));
}

std::pair<std::array<double, 6>, double> ion_params(py::handle pure, const std::string& name) {
    std::array<double, 6> cp{0, 0, 0, 0, 0, 0};
    double dh = 0.0;
    py::object p = get(pure, py::str(name));
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

// The pure records: an empty mapping for None or an empty one.
py::object pure_records(py::handle pure) {
    return !pure.is_none() && truthy(pure) ? py::reinterpret_borrow<py::object>(pure)
                                           : py::object(py::dict());
}

// Per species of sp: on the aqueous reference (infinite dilution in water): the ions, and the
// molecules that are no component but carry an aqueous formation enthalpy (the complexes that
// the equilibria form from ions).
std::vector<bool> aqueous_species(py::handle sp, const std::vector<std::string>& names,
                                  const std::vector<Eigen::Index>& comp_pos,
                                  const py::object& pure) {
    std::vector<bool> out;
    for (py::handle f : sp.attr("ion")) {
        const auto i = static_cast<Eigen::Index>(out.size());
        bool aq = truthy(f);
        if (!aq && i < static_cast<Eigen::Index>(names.size()) &&
            std::find(comp_pos.begin(), comp_pos.end(), i) == comp_pos.end()) {
            py::object p = get(pure, py::str(names[static_cast<std::size_t>(i)]));
            aq = !p.is_none() && !get(get(p, "scalar"), "DHF_AQ").is_none();
        }
        out.push_back(aq);
    }
    return out;
}

}  // namespace

std::optional<core::PackageData> package_data(py::handle pp,
                                              const std::vector<std::string>& comps) {
    const py::object mod = phasekit_module();
    const py::object own = phasekit("_NATIVE");
    for (const char* name : kPortedFunctions)
        if (!own_in(mod, own, name)) return std::nullopt;
    try {
        py::object vapor = pp.attr("vapor");
        if (!py::isinstance<py::str>(vapor) || py::cast<std::string>(vapor) != "ideal")
            return std::nullopt;
        return read_package(pp, comps);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

double liquid_enthalpy(py::handle el, py::handle pp, py::handle n_obj, double T, py::handle P,
                       py::handle pure_obj, const core::PackageData* props) {
    const double R = to_double(phasekit("R"));
    py::object dh_ref = phasekit("_dh_ref");
    py::object k_h_ig = phasekit("_k_h_ig");
    py::object sp = el.attr("sp");
    const std::vector<std::string> names = to_names(el.attr("names"));
    const Eigen::VectorXd n = to_vec(n_obj, "n");
    const std::vector<std::string> comps = to_names(pp.attr("components"));

    std::vector<Eigen::Index> comp_pos(comps.size());
    for (std::size_t k = 0; k < comps.size(); ++k) comp_pos[k] = find_name(names, comps[k]);
    py::object pure = pure_records(pure_obj);
    const std::vector<bool> is_ion = aqueous_species(sp, names, comp_pos, pure);

    core::LiquidEnthalpyHooks hooks;
    // The package's own _k_h_ig and _dh_ref in C++ (their data read once, here or by the caller).
    const bool own_fns = phasekit_own(k_h_ig, "_k_h_ig") && phasekit_own(dh_ref, "_dh_ref");
    std::optional<core::PackageData> own;
    if (own_fns && props == nullptr) {
        own = package_data(pp, comps);
        if (own) props = &*own;
    }
    const bool native = own_fns && props != nullptr;
    hooks.h_ig = [&] {
        if (native) {
            std::vector<double> h, s;
            core::ideal_gas_terms(*props, T, h, s);
            return Eigen::VectorXd(
                Eigen::Map<const Eigen::VectorXd>(h.data(), static_cast<Eigen::Index>(h.size())));
        }
        py::object res = k_h_ig(T, pp.attr("cpig_kind"), pp.attr("cpig"), pp.attr("DHFORM"));
        if (py::len(res) != 2)
            throw py::value_error("_k_h_ig must return a pair (enthalpies, entropies)");
        return to_vec(res[py::int_(0)], "ideal-gas enthalpies");
    };
    hooks.dh_ref = [&](const Eigen::VectorXd& xa) {
        if (native && xa.size() == static_cast<Eigen::Index>(comps.size())) {
            Eigen::VectorXd v = core::dh_ref(*props, T, xa);
            if (v.allFinite()) return v;
        }
        py::gil_scoped_acquire gil;  // the sum below may run without it
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
    if (!native || !activity.native(n.size()))
        return core::liquid_enthalpy(n, T, comp_pos, is_ion, R, hooks);

    // Everything in C++: the ions' data read first (in the order the sum asks for them), then
    // the sum without the GIL.
    core::IonData ions(static_cast<std::size_t>(n.size()));
    for (Eigen::Index i = 0; i < n.size() && i < static_cast<Eigen::Index>(is_ion.size()); ++i)
        if (is_ion[static_cast<std::size_t>(i)])
            ions[static_cast<std::size_t>(i)] = hooks.ion_params(i);
    py::gil_scoped_release nogil;
    return core::liquid_enthalpy(*props, n, T, comp_pos, is_ion, ions, R, hooks.ln_gamma,
                                 [&](const Eigen::VectorXd& xa, Eigen::VectorXd) {
                                     py::gil_scoped_acquire gil;
                                     return to_vec(dh_ref(pp, T, to_numpy(xa), P),
                                                   "reference enthalpies");
                                 });
}

PreparedEnthalpy::PreparedEnthalpy(py::handle el, py::handle pp, py::handle pure_obj) {
    R_ = to_double(phasekit("R"));
    const std::vector<std::string> names = to_names(el.attr("names"));
    const std::vector<std::string> comps = to_names(pp.attr("components"));
    comp_pos_.resize(comps.size());
    for (std::size_t k = 0; k < comps.size(); ++k) comp_pos_[k] = find_name(names, comps[k]);
    py::object pure = pure_records(pure_obj);
    is_ion_ = aqueous_species(el.attr("sp"), names, comp_pos_, pure);
    ions_.resize(is_ion_.size());
    for (std::size_t i = 0; i < is_ion_.size() && i < names.size(); ++i)
        if (is_ion_[i]) ions_[i] = ion_params(pure, names[i]);
    if (own()) props_ = package_data(pp, comps);
}

bool PreparedEnthalpy::own() const {
    return phasekit_own(phasekit("_k_h_ig"), "_k_h_ig") &&
           phasekit_own(phasekit("_dh_ref"), "_dh_ref");
}

std::optional<double> PreparedEnthalpy::value(py::handle sp, const Eigen::VectorXd& n,
                                              double T) const {
    if (!props_ || !own() || n.size() > static_cast<Eigen::Index>(is_ion_.size()))
        return std::nullopt;
    Activity activity(sp, py::handle());  // the three-argument call, as liquid_enthalpy's
    if (!activity.native(n.size())) return std::nullopt;
    bool finite = true;
    double H;
    {
        py::gil_scoped_release nogil;
        H = core::liquid_enthalpy(
            *props_, n, T, comp_pos_, is_ion_, ions_, R_,
            [&](const Eigen::VectorXd& x, double t) {
                Eigen::VectorXd out;
                activity.ln_gamma(x, t, out);
                return out;
            },
            [&](const Eigen::VectorXd&, Eigen::VectorXd v) {
                finite = false;  // liquid_enthalpy would ask Python: the caller does
                return v;
            });
    }
    if (!finite) return std::nullopt;
    return H;
}

bool PreparedEnthalpy::gradient(py::handle sp, py::handle options, bool fixed_ion_fractions,
                                const Eigen::VectorXd& n, double T, Eigen::VectorXd& g,
                                double& dT) const {
    if (!props_ || !own() || n.size() > static_cast<Eigen::Index>(is_ion_.size())) return false;
    Activity activity(sp, options);
    if (!activity.native(n.size())) return false;
    core::liquid_enthalpy_gradient(
        *props_, n, T, comp_pos_, is_ion_, ions_, fixed_ion_fractions,
        core::compiled_ln_gamma_derivatives(*activity.model(), *activity.options(), n.size()), g,
        dT);
    return true;
}

}  // namespace brinequil::host::adapt
