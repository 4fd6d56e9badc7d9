// Python interface of the front door's answers in one call: the liquid (_front_liquid: the cold
// speciation, the check of its answer and the liquid fugacities) and the check of a flash
// answer (_front_flash_check: the speciation of its liquid, its fugacities and the residuals of
// velmora.checks), each with the arithmetic of the methods and functions it stands for
// (true_amounts, _residual, fugacities, checks.phase_residual), so that answers and residuals
// have the same digits; the molecular term and the Henry table are read once for the check and
// the fugacities.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fugacity/henry.hpp"
#include "fugacity/liquid_fugacity.hpp"
#include "host/activity.hpp"
#include "host/convert.hpp"
#include "host/electrolyte.hpp"
#include "host/front_check.hpp"
#include "host/model_api.hpp"
#include "host/phase_adapter.hpp"
#include "model/residual.hpp"

namespace brinequil::host {
namespace {

// A name of the tables (a str).
std::string text(PyObject* s) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_Check(s) ? PyUnicode_AsUTF8AndSize(s, &len) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();  // not UTF-8: left to the methods one by one
        throw std::runtime_error("not a name");
    }
    return std::string(utf8, static_cast<std::size_t>(len));
}

}  // namespace

// What the check and the fugacities read of the model's tables that does not depend on T: read
// once, and again only where a table was replaced or a dict of them changed (each dict's version
// tag, which every change of it moves; the references held keep the objects' identities from
// being reused). Built where every table is the usual one; throws otherwise.
struct LiquidTables {
    static constexpr int kHeld = 11;
    std::array<py::object, kHeld> held;  // henry, vc, antoine, options, names, sp, sp.<sets>
    std::array<std::uint64_t, 4> versions{};
    SpeciesSets sets;
    core::HenryMode mode = core::HenryMode::Water;
    struct Pair {
        int solvent, solute;
        double vc;
        std::vector<double> p;
    };
    std::vector<Pair> pairs;  // in the order of the Henry table
    std::vector<int> first;   // per species, the first species of its name
    std::vector<std::optional<core::Antoine>> antoine;  // per species; the table's entry
    std::vector<char> antoine_bad;                      // an entry that is no Antoine record
    std::vector<py::object> keys;  // per species, its name as an interned str (answers' keys)
    std::vector<char> is_henry;    // per species, whether it is a Henry solute

    static bool cacheable() { return PY_VERSION_HEX < 0x030C0000; }
    static std::uint64_t version(const py::object& d) {
#if PY_VERSION_HEX < 0x030C0000
        return reinterpret_cast<PyDictObject*>(d.ptr())->ma_version_tag;
#else
        (void)d;
        return 0;
#endif
    }
    static std::array<py::object, kHeld> objects(const Electrolyte& el) {
        static PyObject* names[5] = {
            PyUnicode_InternFromString("henry"), PyUnicode_InternFromString("solv"),
            PyUnicode_InternFromString("mol"), PyUnicode_InternFromString("water"),
            PyUnicode_InternFromString("z")};
        std::array<py::object, kHeld> out{el.henry, el.vc, el.antoine, el.options, el.names, el.sp};
        for (int k = 0; k < 5; ++k) {
            PyObject* a = PyObject_GetAttr(el.sp.ptr(), names[k]);
            if (a == nullptr) throw py::error_already_set();
            out[static_cast<std::size_t>(6 + k)] = py::reinterpret_steal<py::object>(a);
        }
        return out;
    }
    bool current(const std::array<py::object, kHeld>& now) const {
        for (std::size_t k = 0; k < held.size(); ++k)
            if (held[k].ptr() != now[k].ptr()) return false;
        for (std::size_t k = 0; k < versions.size(); ++k)
            if (versions[k] != version(held[k])) return false;
        return true;
    }

    explicit LiquidTables(const Electrolyte& el, std::array<py::object, kHeld> now)
        : held(std::move(now)) {
        for (const py::object* table : {&el.henry, &el.vc, &el.antoine, &el.options})
            if (!PyDict_CheckExact(table->ptr())) throw std::runtime_error("not a dict");
        for (std::size_t k = 0; k < versions.size(); ++k) versions[k] = version(held[k]);
        sets = species_sets(el, kSpZ | kSpHenry | kSpNames | kSpMol | kSpSolv | kSpWater);
        PyObject* m = PyDict_GetItemString(el.options.ptr(), "henry_ref");  // borrowed
        mode = m == nullptr         ? core::HenryMode::Water
               : PyUnicode_Check(m) ? core::henry_mode(py::str(m).cast<std::string>())
                                    : core::HenryMode::Other;
        const std::size_t n = sets.names.size();
        is_henry.assign(n, 0);
        for (int h : sets.henry) is_henry[static_cast<std::size_t>(h)] = 1;
        first.resize(n);
        for (std::size_t k = 0; k < n; ++k) first[k] = position(sets.names[k]);
        keys.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* key = PyUnicode_InternFromString(sets.names[k].c_str());
            if (key == nullptr) throw py::error_already_set();
            keys[k] = py::reinterpret_steal<py::object>(key);
        }
        antoine.resize(n);
        antoine_bad.assign(n, 0);
        for (std::size_t k = 0; k < n; ++k) {
            PyObject* p = PyDict_GetItemString(el.antoine.ptr(), sets.names[k].c_str());
            if (p == nullptr) continue;
            try {
                antoine[k] = antoine_coeffs(py::handle(p));
            } catch (const std::exception&) {
                antoine_bad[k] = 1;  // raised where the fugacities read it, as before
            }
        }
        if (sets.henry.empty()) return;
        // a copy of the items: reading a value may run Python code that changes the table
        py::list items = py::reinterpret_steal<py::list>(PyDict_Items(el.henry.ptr()));
        if (!items) throw py::error_already_set();
        for (py::handle item : items) {
            PyObject* key = PyTuple_GET_ITEM(item.ptr(), 0);
            PyObject* coefs = PyTuple_GET_ITEM(item.ptr(), 1);
            if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2)
                throw std::runtime_error("Henry table key");
            const std::string solute = text(PyTuple_GET_ITEM(key, 0));
            PyObject* solvent = PyTuple_GET_ITEM(key, 1);
            Pair pair{position(text(solvent)), 0, 0.1, {}};
            PyObject* vc = PyDict_GetItemWithError(el.vc.ptr(), solvent);  // borrowed
            if (vc == nullptr && PyErr_Occurred()) throw py::error_already_set();
            if (vc) pair.vc = to_double(vc);
            for (py::handle c : py::reinterpret_borrow<py::object>(coefs))
                pair.p.push_back(to_double(c));
            pair.solute = position(solute);
            pairs.push_back(std::move(pair));
        }
        // a table read while it changed is not kept (nor used: see `tables`)
        for (std::size_t k = 0; k < versions.size(); ++k)
            if (versions[k] != version(held[k])) throw std::runtime_error("changed while read");
    }

    int position(const std::string& name) const {
        for (std::size_t k = 0; k < sets.names.size(); ++k)
            if (sets.names[k] == name) return static_cast<int>(k);
        throw std::runtime_error("not a species");
    }
};

namespace {

// The model's tables for the check, from the copy kept on the model where it is current.
std::shared_ptr<const LiquidTables> tables(Electrolyte& el) {
    std::array<py::object, LiquidTables::kHeld> now = LiquidTables::objects(el);
    if (el.liquid_tables && el.liquid_tables->current(now)) return el.liquid_tables;
    auto made = std::make_shared<const LiquidTables>(el, std::move(now));
    if (LiquidTables::cacheable()) el.liquid_tables = made;
    return made;
}

// What the check and the fugacities read of the model at T. Throws where a table is not the
// usual one or the molecular term is not the compiled model's (the caller then leaves the
// liquid to the methods one by one, which raise their own errors where there are any).
class LiquidAt {
public:
    // lc: the molecular term at T as the speciation took it (over the same molecules), or null;
    // taken over (moved from) where it is used
    LiquidAt(Electrolyte& el, double T, core::MolecularNrtl* lc = nullptr)
        : el_(el), T_(T), tab_(tables(el)) {
        const SpeciesSets& sets = tab_->sets;
        if (sets.henry.empty()) return;
        if (lc != nullptr && lc->mol() == sets.mol) {
            lc_ = std::move(*lc);
        } else {
            MoleculeTau tau(el.sp);
            if (!tau.native()) throw std::runtime_error("molecule_tau replaced");
            tau.assign(T, sets.mol, lc_);
        }
        pairs_.resize(sets.names.size());
        Eigen::VectorXd xa(sets.n);
        for (const LiquidTables::Pair& p : tab_->pairs)
            pairs_[static_cast<std::size_t>(p.solute)].push_back(
                core::henry_pair(sets.n, p.solvent, p.solute, p.vc, p.p, T_, lc_, xa));
    }

    // The Henry reference at the true mole fractions x, as henry_ref(el, T, &x).
    void henry_ref(const Eigen::VectorXd& x, Eigen::VectorXd& out) {
        if (tab_->mode == core::HenryMode::Mixture) {  // through the full activity model
            out = host::henry_ref(el_, T_, &x);
            return;
        }
        const SpeciesSets& s = tab_->sets;
        const core::HenryIndexSets sets{s.n, s.henry, s.solv, s.water};
        core::henry_reference(tab_->mode, sets, lc_, &x, nullptr, out, xw_);
    }

    // The fugacities of `fugacities` for the true liquid (n, lng).
    core::FugacityMap fugacities(const Eigen::VectorXd& n, const Eigen::VectorXd& lng) const {
        const SpeciesSets& s = tab_->sets;
        core::LiquidFugacityHooks hooks;
        hooks.ln_h_mix = [&](Eigen::Index k, const Eigen::VectorXd& x) {
            // no pair: ZeroDivisionError, as ln_h_mix
            const auto& at =
                pairs_.empty()
                    ? kNone
                    : pairs_[static_cast<std::size_t>(tab_->first[static_cast<std::size_t>(k)])];
            return core::ln_h_mix(at, x);
        };
        hooks.antoine = [&](const std::string& name) -> std::optional<core::Antoine> {
            const auto k = static_cast<std::size_t>(tab_->position(name));
            if (tab_->antoine_bad[k]) throw std::runtime_error("Antoine record");
            return tab_->antoine[k];
        };
        core::FugacityMap f;
        core::liquid_fugacities(n, lng, s.names, s.z, tab_->is_henry, T_, hooks, f);
        return f;
    }

    // {species: value} of (name, value) pairs, keyed by the tables' interned names.
    py::dict named(const core::FugacityMap& f) const {
        py::dict out;
        for (const auto& [name, v] : f) {
            py::float_ value(v);
            const auto k = static_cast<std::size_t>(tab_->position(name));
            if (PyDict_SetItem(out.ptr(), tab_->keys[k].ptr(), value.ptr()) < 0)
                throw py::error_already_set();
        }
        return out;
    }

private:
    static inline const std::vector<core::HenryPair> kNone{};
    Electrolyte& el_;
    double T_;
    std::shared_ptr<const LiquidTables> tab_;
    core::MolecularNrtl lc_;
    std::vector<std::vector<core::HenryPair>> pairs_;  // per solute, the table's order
    Eigen::VectorXd xw_;
};

// Entries first..first+count of the tuple t as positions into a vector of `size` entries:
// false where one is no int or lies outside (its error cleared).
bool positions(PyObject* t, Py_ssize_t first, int count, Eigen::Index size, Eigen::Index* out) {
    for (int k = 0; k < count; ++k) {
        const Py_ssize_t v = PyLong_AsSsize_t(PyTuple_GET_ITEM(t, first + k));
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (v < 0 || v >= size) return false;
        out[k] = static_cast<Eigen::Index>(v);
    }
    return true;
}

// Whether a pair of `pairs` (the front door's (message, molecule, cation, anion) positions) may
// be major in the liquid n: its ions above 0.099 % and its molecule above 0.99 % of the amounts,
// the 1 % margin of checks.pair_warnings' first pass (which then decides); None: no pairs given.
py::object pairs_may_warn(py::handle pairs, const Eigen::VectorXd& n) {
    if (pairs.is_none()) return py::none();
    if (!PyList_CheckExact(pairs.ptr())) return py::bool_(true);
    double tot = 0.0;
    for (Eigen::Index i = 0; i < n.size(); ++i) tot += n[i];
    const double ions = 0.00099 * tot, molecule = 0.0099 * tot;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pairs.ptr()); ++k) {
        PyObject* p = PyList_GET_ITEM(pairs.ptr(), k);
        if (!PyTuple_CheckExact(p) || PyTuple_GET_SIZE(p) != 4) return py::bool_(true);
        Eigen::Index at[3];
        if (!positions(p, 1, 3, n.size(), at)) return py::bool_(true);
        if (n[at[1]] > ions && n[at[2]] > ions && n[at[0]] > molecule) return py::bool_(true);
    }
    return py::bool_(false);
}

py::object front_liquid(py::handle self, py::handle n_app, double T, py::handle pairs,
                        py::handle water) {
    if (python_override(self, "fugacities")) return py::none();
    std::optional<ColdSpeciation> s = cold_speciation(self, n_app, T);
    if (!s) return py::none();
    Electrolyte& el = electrolyte(self);
    double residual;
    py::dict fd;
    try {
        LiquidAt liquid(el, T, s->lc ? &*s->lc : nullptr);
        residual = core::liquid_residual(
            *el.stoich, s->n, s->lng, s->n0, s->lnK,
            [&](const Eigen::VectorXd& x, Eigen::VectorXd& ref) { liquid.henry_ref(x, ref); });
        const core::FugacityMap f = liquid.fugacities(s->n, s->lng);
        fd = liquid.named(f);
    } catch (const std::exception&) {
        return py::none();
    }
    return py::make_tuple(fd, to_numpy(s->n), to_numpy(s->lng), residual, s->converged,
                          pairs_may_warn(pairs, s->n), water_holds(water, s->n, s->lng));
}

}  // namespace

// Whether the liquid (n, lng) passes checks.true_water: not both H3O+ and OH- beyond `limit`
// mol per mol of true water, and a water activity n_w / sum(n) exp(lng_w) at most 1 + tol;
// `water` (H3O+, OH-, water positions, limit, tol) or None (then None).
py::object water_holds(py::handle water, const Eigen::VectorXd& n, const Eigen::VectorXd& lng) {
    PyObject* t = water.ptr();
    if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != 5) return py::none();
    Eigen::Index at[3];
    if (!positions(t, 0, 3, std::min(n.size(), lng.size()), at)) return py::none();
    double bound[2];
    for (int k = 0; k < 2; ++k) {
        bound[k] = PyFloat_AsDouble(PyTuple_GET_ITEM(t, 3 + k));
        if (bound[k] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return py::none();
        }
    }
    const double lim = bound[0] * n[at[2]];
    if (n[at[0]] > lim && n[at[1]] > lim) return py::bool_(false);
    double tot = 0.0;
    for (Eigen::Index i = 0; i < n.size(); ++i) tot += n[i];
    const double aw = tot > 0.0 ? n[at[2]] / tot * std::exp(lng[at[2]]) : 0.0;
    return py::bool_(!(aw > 1.0 + bound[1]));
}

py::object flash_check_tuple(const Electrolyte& el, const FlashAnswer& ans,
                             const core::FugacityMap& f, const Eigen::VectorXd& n,
                             const Eigen::VectorXd& lng, const Eigen::VectorXd& n0,
                             const Eigen::VectorXd& lnK, bool converged,
                             const std::vector<Eigen::Index>& pos, double tol, const Limits& c,
                             const HenryRef& henry_ref) {
    py::dict fd;
    for (const auto& [name, v] : f) fd[py::str(name)] = v;
    py::object checked = py::none();
    if (const std::optional<core::AnswerResiduals> r = core::answer_residuals(
            *el.stoich, ans, f, n, lng, n0, lnK, converged, pos, tol, c, henry_ref))
        checked = py::make_tuple(r->phase, r->balance, r->speciation);
    return py::make_tuple(fd, to_numpy(n), to_numpy(lng), converged, checked);
}

std::optional<FrontFugacities> front_fugacities_of(py::handle self, py::handle n_app, double T) {
    Electrolyte& el = electrolyte(self);
    std::optional<LiquidAt> liquid;
    try {  // nothing is solved yet: what fails here fails on the caller's path too
        liquid.emplace(el, T);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    ColdSpeciation s = warm_speciation(self, n_app, T);
    FrontFugacities out;
    out.f = liquid->fugacities(s.n, s.lng);
    out.n = std::move(s.n);
    out.lng = std::move(s.lng);
    return out;
}

namespace {

// (fugacities, true amounts, ln gamma) of the apparent liquid n_app at T from the warm record,
// as _front_flash_check speciates a flash answer's liquid (each trace resolved to its own total);
// None where a method it calls is replaced or the model's tables are not the package's own.
py::object front_fugacities(py::handle self, py::handle n_app, double T) {
    for (const char* name :
         {"fugacities", "true_amounts", "lnK", "henry_ref", "_residual", "_status"})
        if (python_override(self, name)) return py::none();
    std::optional<FrontFugacities> s = front_fugacities_of(self, n_app, T);
    if (!s) return py::none();
    py::dict fd;
    for (const auto& [name, v] : s->f) fd[py::str(name)] = v;
    return py::make_tuple(fd, to_numpy(s->n), to_numpy(s->lng));
}

py::object front_flash_check(py::handle self, py::handle n_app, py::handle components,
                             py::handle z_in, double beta, py::handle x_in, py::handle y_in,
                             double T, double P, py::handle pp, double tol, py::handle limits) {
    for (const char* name :
         {"fugacities", "true_amounts", "lnK", "henry_ref", "_residual", "_status"})
        if (python_override(self, name)) return py::none();
    if (!adapt::ideal_vapor(adapt::phasekit("phi_vapor"), pp)) return py::none();
    Electrolyte& el = electrolyte(self);
    std::optional<LiquidAt> liquid;
    std::vector<std::string> comps;
    std::vector<Eigen::Index> pos;
    Eigen::VectorXd z, x, y;
    Limits c{};
    try {  // nothing is solved yet: what fails here fails on the caller's path too
        liquid.emplace(el, T);
        comps = adapt::to_names(components);
        z = to_vector(z_in, "z");
        x = to_vector(x_in, "x");
        y = to_vector(y_in, "y");
        const auto nc = static_cast<Eigen::Index>(comps.size());
        if (z.size() != nc || x.size() != nc || y.size() != nc) return py::none();
        const std::vector<std::string> names = adapt::to_names(el.names);
        for (const std::string& comp : comps) pos.push_back(adapt::find_name(names, comp));
        py::tuple t = py::reinterpret_borrow<py::tuple>(limits);
        c = Limits{to_double(t[0]), to_double(t[1]), to_double(t[2])};
    } catch (const std::exception&) {
        return py::none();
    }
    // the model's fugacities(n_app, T) and _status: from the warm record, raising what they raise
    ColdSpeciation s = warm_speciation(self, n_app, T);
    const core::FugacityMap f = liquid->fugacities(s.n, s.lng);
    return flash_check_tuple(
        el, {&comps, &z, beta, &x, &y, P}, f, s.n, s.lng, s.n0, s.lnK, s.converged, pos, tol, c,
        [&](const Eigen::VectorXd& xt, Eigen::VectorXd& ref) { liquid->henry_ref(xt, ref); });
}

}  // namespace

namespace {

// "H2O", interned once and never released (no Python object may be freed after the interpreter).
PyObject* h2o() {
    static PyObject* name = PyUnicode_InternFromString("H2O");
    return name;
}

// 1.0, made once and never released (as h2o).
PyObject* kOne() {
    static PyObject* one = PyFloat_FromDouble(1.0);
    return one;
}

// The names and values of a dict of known components other than water, each a float in
// [0, top], into out (component: value, in the dict's order; a name given twice refused):
// false for anything else, which the general path then names.
bool plain(PyObject* exact, PyObject* mapping, double top, py::dict& out) {
    if (!PyDict_CheckExact(mapping)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *v;
    while (PyDict_Next(mapping, &pos, &key, &v)) {
        if (!PyUnicode_CheckExact(key)) return false;
        PyObject* hit = PyDict_GetItemWithError(exact, key);  // borrowed
        if (hit == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        const int water_hit = PyObject_RichCompareBool(hit, h2o(), Py_EQ);
        const int twice = PyDict_Contains(out.ptr(), hit);
        if (water_hit < 0 || twice < 0) throw py::error_already_set();
        if (water_hit || twice || !PyFloat_CheckExact(v)) return false;
        const double value = PyFloat_AS_DOUBLE(v);
        if (!(0.0 <= value && value <= top)) return false;
        if (PyDict_SetItem(out.ptr(), hit, v) < 0) throw py::error_already_set();
    }
    return true;
}

// builtins.sum or math.fsum of a dict's values (the Python function's own digits).
double summed(PyObject* fn, const py::dict& d) {
    py::object values = py::reinterpret_steal<py::object>(PyDict_Values(d.ptr()));
    if (!values) throw py::error_already_set();
    py::object total = py::reinterpret_steal<py::object>(PyObject_CallOneArg(fn, values.ptr()));
    if (!total) throw py::error_already_set();
    return total.cast<double>();
}

// builtins.sum of a dict's values where they are floats: before 3.12, 0 + the first value, then
// each value added in turn (its own loop, the same digits); from 3.12 Python's compensated sum
// itself. nullopt for a value of another type or no value (then the general path sums).
std::optional<double> python_sum(const py::dict& d) {
#if PY_VERSION_HEX < 0x030C0000
    double tot = 0.0;
    bool first = true;
    Py_ssize_t pos = 0;
    PyObject *key, *v;
    while (PyDict_Next(d.ptr(), &pos, &key, &v)) {
        if (!PyFloat_CheckExact(v)) return std::nullopt;
        tot = first ? 0.0 + PyFloat_AS_DOUBLE(v) : tot + PyFloat_AS_DOUBLE(v);
        first = false;
    }
    if (first) return std::nullopt;
    return tot;
#else
    static PyObject* sum = PyDict_GetItemString(PyEval_GetBuiltins(), "sum");  // borrowed
    return summed(sum, d);
#endif
}

// (full, full per mole, total): the values over their sum (builtins.sum, Python's digits); None
// where python_sum gives none.
py::object per_mole(const py::dict& full) {
    const std::optional<double> sum = python_sum(full);
    if (!sum) return py::none();
    const double tot = *sum;
    py::dict x;
    Py_ssize_t pos = 0;
    PyObject *key, *v;
    while (PyDict_Next(full.ptr(), &pos, &key, &v))
        x[py::handle(key)] = py::float_(PyFloat_AS_DOUBLE(v) / tot);
    return py::make_tuple(full, x, tot);
}

// {component: amount} over every component in their order, 0 where `given` has none, given's
// amounts; nullopt where water is no component.
std::optional<py::dict> over_components(py::handle components, const py::dict& given) {
    py::dict full;
    py::float_ zero(0.0);
    for (py::handle c : py::reinterpret_borrow<py::list>(components)) full[c] = zero;
    if (!full.contains(py::handle(h2o()))) return std::nullopt;
    if (PyDict_Update(full.ptr(), given.ptr()) < 0) throw py::error_already_set();
    return full;
}

// checks.molal_liquid's usual call in one step: (apparent amounts over every component, per
// mole of liquid, total) of a dict of molalities of known components other than water (exact:
// checks' map of the names taken as they are), each a float in [0, top] mol/kg; None for
// anything else. The general path's dicts and digits (the total is Python's own sum).
py::object front_molal(py::handle exact, py::handle components, py::handle molalities, double water,
                       double top) {
    if (!PyDict_CheckExact(exact.ptr()) || !PyList_CheckExact(components.ptr())) return py::none();
    py::dict given;
    if (!plain(exact.ptr(), molalities.ptr(), top, given)) return py::none();
    std::optional<py::dict> full = over_components(components, given);
    if (!full) return py::none();
    (*full)[py::handle(h2o())] = py::float_(water);  // mol in 1 kg
    return per_mole(*full);
}

// checks.mass_liquid's usual call in one step: mass fractions of known components other than
// water (water makes up the rest), each a float, and a loading (None, or a float >= 0 of the
// one acid gas, not given, per mol of the one base given); None for anything else. The Python
// operations of checks.mass_liquid in their order: the same dicts and digits.
py::object front_mass(py::handle exact, py::handle components, py::handle fractions,
                      py::handle loading, py::handle mw, py::handle acids, py::handle bases,
                      double kg_water, double m_max) {
    static PyObject* fsum = [] {
        PyObject* math = PyImport_ImportModule("math");
        PyObject* f = math ? PyObject_GetAttrString(math, "fsum") : nullptr;  // kept
        Py_XDECREF(math);
        return f;
    }();
    if (fsum == nullptr) throw py::error_already_set();
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (!PyDict_CheckExact(exact.ptr()) || !PyList_CheckExact(components.ptr()) ||
        !PyDict_CheckExact(mw.ptr()) || !PyList_CheckExact(acids.ptr()) ||
        !PyList_CheckExact(bases.ptr()))
        return py::none();
    py::dict w;
    if (!plain(exact.ptr(), fractions.ptr(), inf, w)) return py::none();
    if (!(loading.is_none() || PyFloat_CheckExact(loading.ptr()))) return py::none();
    const double tot = summed(fsum, w);
    if (!(tot < 1.0)) return py::none();
    w[py::handle(h2o())] = py::float_(1.0 - tot);
    py::dict app;
    Py_ssize_t pos = 0;
    PyObject *key, *v;
    while (PyDict_Next(w.ptr(), &pos, &key, &v)) {
        PyObject* m = PyDict_GetItemWithError(mw.ptr(), key);  // borrowed
        if (m == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::none();  // (mass_liquid's KeyError: the general path names it)
        }
        const double molar = PyFloat_AsDouble(m);
        if (molar == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        app[py::handle(key)] = py::float_(1000.0 * PyFloat_AS_DOUBLE(v) / molar);  // mol in 1 kg
    }
    if (!loading.is_none()) {
        const double load = PyFloat_AS_DOUBLE(loading.ptr());
        if (!(0.0 <= load && load < inf) || PyList_GET_SIZE(acids.ptr()) != 1) return py::none();
        PyObject* acid = PyList_GET_ITEM(acids.ptr(), 0);
        const int given = PyDict_Contains(app.ptr(), acid);
        if (given < 0) throw py::error_already_set();
        if (given) return py::none();
        auto amount = [&](PyObject* c) {
            PyObject* a = PyDict_GetItemWithError(app.ptr(), c);
            if (a == nullptr && PyErr_Occurred()) throw py::error_already_set();
            return a == nullptr ? 0.0 : PyFloat_AS_DOUBLE(a);
        };
        PyObject* base = nullptr;
        int found = 0;
        if (PyList_GET_SIZE(bases.ptr()) == 1) {
            PyObject* b = PyList_GET_ITEM(bases.ptr(), 0);
            if (amount(b) > 0.0) base = b, found = 1;
        } else {
            pos = 0;
            while (PyDict_Next(app.ptr(), &pos, &key, &v)) {
                const int in = PySequence_Contains(bases.ptr(), key);
                if (in < 0) throw py::error_already_set();
                if (PyFloat_AS_DOUBLE(v) > 0.0 && in) base = key, ++found;
            }
        }
        if (found != 1) return py::none();
        app[py::handle(acid)] = py::float_(load * amount(base));
    }
    std::optional<py::dict> made = over_components(components, app);
    if (!made) return py::none();
    const py::dict& full = *made;
    const double water = PyFloat_AS_DOUBLE(PyDict_GetItem(full.ptr(), h2o()));
    const double top = m_max * (water * kg_water);  // as checks.solutes bounds them
    if (!(water > 0.0)) return py::none();
    double most = -inf;
    bool first = true;
    pos = 0;
    while (PyDict_Next(full.ptr(), &pos, &key, &v)) {  // max() of the values
        const double value = PyFloat_AS_DOUBLE(v);
        if (first || value > most) most = value;
        first = false;
    }
    if (most > top) return py::none();
    return per_mole(full);
}

// Entry k of the tuple t as a float (a Python float or int), else nullopt (its error cleared).
std::optional<double> float_item(PyObject* t, Py_ssize_t k) {
    const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(t, k));
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

// made + liquid: (apparent amounts, per mole, total, then _front_liquid's entries) of the
// liquid `made` (front_molal's or front_mass's tuple) at T; None where either is None.
py::object made_liquid(py::handle self, py::object made, double T, py::handle pairs,
                       py::handle water) {
    if (made.is_none()) return made;
    py::object liquid = front_liquid(self, PyTuple_GET_ITEM(made.ptr(), 1), T, pairs, water);
    if (liquid.is_none()) return liquid;
    PyObject* both = PySequence_Concat(made.ptr(), liquid.ptr());
    if (both == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(both);
}

// System.liquid's usual call of molalities in one step: front_molal(*args[:2], molalities,
// *args[2:]) and _front_liquid of its liquid at T. args: (exact, components, mol of water in
// 1 kg, top).
py::object front_molal_liquid(py::handle self, py::handle args, py::handle molalities, double T,
                              py::handle pairs, py::handle water) {
    PyObject* t = args.ptr();
    if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != 4) return py::none();
    const std::optional<double> mol = float_item(t, 2), top = float_item(t, 3);
    if (!mol || !top) return py::none();
    return made_liquid(
        self, front_molal(PyTuple_GET_ITEM(t, 0), PyTuple_GET_ITEM(t, 1), molalities, *mol, *top),
        T, pairs, water);
}

// The same for mass fractions and a loading. args: (exact, components, mw, acids, bases,
// kg of water per mol, M_MAX).
py::object front_mass_liquid(py::handle self, py::handle args, py::handle fractions,
                             py::handle loading, double T, py::handle pairs, py::handle water) {
    PyObject* t = args.ptr();
    if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != 7) return py::none();
    const std::optional<double> kg = float_item(t, 5), m_max = float_item(t, 6);
    if (!kg || !m_max) return py::none();
    return made_liquid(self,
                       front_mass(PyTuple_GET_ITEM(t, 0), PyTuple_GET_ITEM(t, 1), fractions,
                                  loading, PyTuple_GET_ITEM(t, 2), PyTuple_GET_ITEM(t, 3),
                                  PyTuple_GET_ITEM(t, 4), *kg, *m_max),
                       T, pairs, water);
}

// A str interned once and never released (no Python object may be freed after the interpreter).
PyObject* interned(const char* s) {
    PyObject* name = PyUnicode_InternFromString(s);
    if (name == nullptr) throw py::error_already_set();
    return name;
}

// System.liquid's usual call to its state in one step (velmora.states.usual_state): the
// composition (front_molal or front_mass; `made`, the (apparent amounts, per mole, total) of a
// composition made before, instead where given) and front_liquid of its liquid at T. Where
// the answer is verified (residual at most tol, the speciation converged), the liquid passes
// checks.true_water, no pair may warn, no range warning applies (T within [t_lo, t_hi] and
// `quiet`: no note on the liquid's fit), the LiquidState itself: an instance of the class
// `state` whose __dict__ holds T, _apparent, residual, _raw, _unit, _system and _enthalpy_of
// as usual_state sets them. Otherwise (app, x, total, then front_liquid's entries), or None
// where the composition or the liquid is None. usual: (molal args, mass args, water, state,
// system, tol, t_lo, t_hi).
py::object front_state(py::handle self, py::handle usual, py::handle made, py::handle molalities,
                       py::handle fractions, py::handle loading, double T, py::handle pairs,
                       bool quiet) {
    PyObject* u = usual.ptr();
    if (!PyTuple_CheckExact(u) || PyTuple_GET_SIZE(u) != 8) return py::none();
    PyObject* water = PyTuple_GET_ITEM(u, 2);
    py::object done;
    if (!made.is_none()) {
        if (!PyTuple_CheckExact(made.ptr()) || PyTuple_GET_SIZE(made.ptr()) != 3) return py::none();
        done = made_liquid(self, py::reinterpret_borrow<py::object>(made), T, pairs, water);
    } else if (fractions.is_none() && loading.is_none()) {
        done = front_molal_liquid(self, PyTuple_GET_ITEM(u, 0), molalities, T, pairs, water);
    } else if (molalities.is_none()) {
        done = front_mass_liquid(self, PyTuple_GET_ITEM(u, 1), fractions, loading, T, pairs, water);
    } else {
        return py::none();
    }
    if (done.is_none()) return done;
    PyObject* t = done.ptr();  // (app, x, total, f, n, lng, res, converged, may_warn, water_ok)
    const std::optional<double> tol = float_item(u, 5), lo = float_item(u, 6),
                                hi = float_item(u, 7);
    PyObject* res = PyTuple_GET_ITEM(t, 6);
    PyObject* cls = PyTuple_GET_ITEM(u, 3);
    if (!quiet || !tol || !lo || !hi || !(*lo <= T && T <= *hi) || !PyFloat_CheckExact(res) ||
        !(PyFloat_AS_DOUBLE(res) <= *tol) || PyTuple_GET_ITEM(t, 7) != Py_True ||
        PyTuple_GET_ITEM(t, 8) != Py_False || PyTuple_GET_ITEM(t, 9) != Py_True ||
        !PyType_Check(cls))
        return done;
    static PyObject* keys[7] = {
        interned("T"),     interned("_apparent"), interned("residual"),    interned("_raw"),
        interned("_unit"), interned("_system"),   interned("_enthalpy_of")};
    static PyObject* dict_name = interned("__dict__");
    PyObject* system = PyTuple_GET_ITEM(u, 4);
    PyObject *app = PyTuple_GET_ITEM(t, 0), *x = PyTuple_GET_ITEM(t, 1);
    PyObject *total = PyTuple_GET_ITEM(t, 2), *f = PyTuple_GET_ITEM(t, 3);
    PyObject *n = PyTuple_GET_ITEM(t, 4), *lng = PyTuple_GET_ITEM(t, 5);
    py::float_ temperature(T);
    py::object values[7] = {temperature,
                            py::reinterpret_borrow<py::object>(app),
                            py::reinterpret_borrow<py::object>(res),
                            py::reinterpret_steal<py::object>(PyTuple_Pack(4, system, n, lng, f)),
                            py::reinterpret_steal<py::object>(PyTuple_Pack(2, total, kOne())),
                            py::reinterpret_borrow<py::object>(system),
                            py::reinterpret_steal<py::object>(PyTuple_Pack(3, system, n, x))};
    for (const py::object& v : values)
        if (!v) throw py::error_already_set();
    // object.__new__(state), then its __dict__ as usual_state sets it
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    py::tuple no_args;
    py::object obj = py::reinterpret_steal<py::object>(type->tp_new(type, no_args.ptr(), nullptr));
    if (!obj) throw py::error_already_set();
    // (made whole and set at once: one attribute look-up instead of seven)
    py::dict attrs;
    for (int k = 0; k < 7; ++k)
        if (PyDict_SetItem(attrs.ptr(), keys[k], values[k].ptr()) < 0)
            throw py::error_already_set();
    if (PyObject_SetAttr(obj.ptr(), dict_name, attrs.ptr()) < 0) throw py::error_already_set();
    return obj;
}

// `warm` (see on_record): the call starts it cold, as always, and leaves its record there.
py::object front_liquid_on(py::handle self, py::handle n_app, double T, py::handle pairs,
                           py::handle water, py::handle warm) {
    return on_record(self, warm, [&] { return front_liquid(self, n_app, T, pairs, water); });
}

// warm True: as a new _WarmStart that nothing reads after the call, without making one.
py::object front_state_on(py::handle self, py::handle usual, py::handle made, py::handle molalities,
                          py::handle fractions, py::handle loading, double T, py::handle pairs,
                          bool quiet, py::handle warm) {
    auto call = [&] {
        return front_state(self, usual, made, molalities, fractions, loading, T, pairs, quiet);
    };
    if (warm.ptr() != Py_True) return on_record(self, warm, call);
    WarmStart own;
    Session open(self, electrolyte(self), own);
    return call();
}

}  // namespace

void bind_front(py::module_& m, ElectrolyteClass& cls) {
    m.def("_front_mass", &front_mass, py::arg("exact"), py::arg("components"),
          py::arg("mass_fractions"), py::arg("loading"), py::arg("mw"), py::arg("acids"),
          py::arg("bases"), py::arg("kg_water"), py::arg("m_max"),
          "(apparent amounts over every component, per mole, total) of the usual call of mass "
          "fractions and a loading, as velmora.checks.mass_liquid makes them in Python; None for "
          "anything else");
    m.def("_front_molal", &front_molal, py::arg("exact"), py::arg("components"),
          py::arg("molalities"), py::arg("water"), py::arg("top"),
          "(apparent amounts over every component, per mole, total) of the usual call of "
          "molalities (a dict of floats in [0, top] of known components other than water), as "
          "velmora.checks.molal_liquid makes them in Python; None for anything else");
    cls.def("_front_fugacities", &front_fugacities, py::arg("n_app"), py::arg("T"),
            "(fugacities, true amounts, ln gamma) of the apparent liquid n_app at T as "
            "_front_flash_check speciates a flash answer's liquid; None where a method it calls "
            "or the model's tables are not the package's own (then call fugacities)");
    cls.def("_front_liquid", &front_liquid_on, py::arg("n_app"), py::arg("T"),
            py::arg("pairs") = py::none(), py::arg("water") = py::none(),
            py::arg("warm") = py::none(),
            "(fugacities {species: Pa}, true amounts, ln gamma, residual of the check, whether "
            "the speciation met its tolerance, whether one of `pairs` may be major) of the "
            "apparent liquid n_app at T from a cold start, as fugacities, _residual and _status "
            "give them after `_warm = None` (pairs: a list of (message, molecule, cation, anion "
            "position) of the default electrolyte pairs, or None; the entry is then None), and "
            "whether the liquid passes velmora.checks.true_water (water: (H3O+, OH-, water "
            "position, mol per mol of water, water activity tolerance), or None: None); "
            "None "
            "where one of those methods, the activity model or the model's tables are not the "
            "package's own (then call them). warm: None, the model's `_warm` and status written "
            "as those methods write them; or a _WarmStart that takes the record instead (the "
            "model's left as they were)");
    cls.def("_front_molal_liquid", &front_molal_liquid, py::arg("args"), py::arg("molalities"),
            py::arg("T"), py::arg("pairs"), py::arg("water"),
            "_front_molal's tuple (args: (exact, components, water, top)) followed by "
            "_front_liquid's entries for its liquid at T: System.liquid's usual call of "
            "molalities in one step; None where either gives None");
    cls.def("_front_mass_liquid", &front_mass_liquid, py::arg("args"), py::arg("mass_fractions"),
            py::arg("loading"), py::arg("T"), py::arg("pairs"), py::arg("water"),
            "_front_mass's tuple (args: (exact, components, mw, acids, bases, kg_water, m_max)) "
            "followed by _front_liquid's entries for its liquid at T; None where either gives "
            "None");
    cls.def("_front_state", &front_state_on, py::arg("usual"), py::arg("made"),
            py::arg("molalities"), py::arg("mass_fractions"), py::arg("loading"), py::arg("T"),
            py::arg("pairs"), py::arg("quiet"), py::arg("warm") = py::none(),
            "System.liquid's usual call to its LiquidState in one step (usual: (molal args, mass "
            "args, water, state class, system, tol, t_lo, t_hi); made: (apparent amounts, per "
            "mole, total) of a composition made before, or None): the state where the answer "
            "is verified, its water passes, no pair may warn, T lies in [t_lo, t_hi] and quiet; "
            "else _front_molal_liquid's or _front_mass_liquid's tuple (made + _front_liquid's "
            "entries with made), or None where that is None; warm: as for _front_liquid, or True: "
            "a record of the call's own, dropped after it");
    cls.def("_front_flash_check", &front_flash_check, py::arg("n_app"), py::arg("components"),
            py::arg("z"), py::arg("beta"), py::arg("x"), py::arg("y"), py::arg("T"), py::arg("P"),
            py::arg("pp"), py::arg("tol"), py::arg("limits"),
            "(fugacities, true amounts, ln gamma, whether the speciation met its tolerance, "
            "(phase residual, balance, speciation residual) or None) of a flash answer (feed z, "
            "vapor fraction beta, liquid x = n_app, vapor y) at T, P: its liquid as fugacities "
            "and _status give it (from the warm record), its residuals as velmora.checks' "
            "phase_residual and speciation_residual give them (limits: VAPOR_FLOOR, RESOLUTION, "
            "TRACE); the residuals None where the speciation did not meet its tolerance or "
            "Python would divide by zero. None where one of those methods, the activity model, "
            "the vapor model (the package's own ideal gas) or the model's tables are not the "
            "package's own (then call them)");
}

}  // namespace brinequil::host
