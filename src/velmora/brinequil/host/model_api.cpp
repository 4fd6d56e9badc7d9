// Host side of the electrolyte model: reads the Python record and the species object, calls the
// activity model and the species object's NRTL matrices, and runs the C++ core.
#include "host/model_api.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <algorithm>
#include <optional>
#include <limits>
#include <string>
#include <unordered_map>

#include "fugacity/henry.hpp"
#include "fugacity/henry_reference.hpp"
#include "host/activity.hpp"
#include "host/convert.hpp"
#include "fugacity/lc_molecular.hpp"
#include "model/errors.hpp"
#include "model/pyfloat.hpp"
#include "model/residual.hpp"
#include "model/true_amounts.hpp"

namespace brinequil::host {

namespace {

// The front door's liquids resolve each trace component to its own total (SpeciationSettings):
// at most 4 Newton steps per pass past tol, each taken only while it moves a species by more than
// 1e-8 of itself and 1e-14 of the liquid. 1e-8: the settled ln n of a major species moves by the
// residual left at tol (1e-11 of the total) over its share, which 1e-8 leaves alone down to a
// share of 1e-3; a trace moves by far more (CO2 at x 6.2e-7 of a dew point's liquid: 9.4e-6).
constexpr double kFrontTraceTol = 1e-8;
constexpr int kFrontTraceMaxit = 4;

using DArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Interned attribute and key names: hashed once, compared by pointer in most lookups.
struct Names {
    py::str n, henry, solv, mol, water, z, ion, molecule_tau, get, index, items, warm, ln_gamma,
        henry_ref, s_water, s_solvent, s_mixture, WATER, A, B, C, D, module;
};
py::str interned(const char* s) {
    return py::reinterpret_steal<py::str>(PyUnicode_InternFromString(s));
}
const Names& N() {
    // Deliberately leaked: Python objects must not be released after the interpreter is gone.
    static const Names* names = new Names{interned("n"),
                                          interned("henry"),
                                          interned("solv"),
                                          interned("mol"),
                                          interned("water"),
                                          interned("z"),
                                          interned("ion"),
                                          interned("molecule_tau"),
                                          interned("get"),
                                          interned("index"),
                                          interned("items"),
                                          interned("_warm"),
                                          interned("ln_gamma"),
                                          interned("henry_ref"),
                                          interned("water"),
                                          interned("solvent"),
                                          interned("mixture"),
                                          interned("WATER"),
                                          interned("A"),
                                          interned("B"),
                                          interned("C"),
                                          interned("D"),
                                          interned("velmora.ionactivity")};
    return *names;
}

py::object attr(py::handle obj, const py::str& name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// mapping.get(key, fallback), fast for a plain dict.
py::object map_get(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    return attr(mapping, N().get)(key, fallback);
}

// names.index(name): the first position (list.index semantics, its message when missing).
long long name_index(py::handle names, py::handle name) {
    if (PyList_CheckExact(names.ptr())) {
        const Py_ssize_t len = PyList_GET_SIZE(names.ptr());
        for (Py_ssize_t k = 0; k < len; ++k) {
            const int eq =
                PyObject_RichCompareBool(PyList_GET_ITEM(names.ptr(), k), name.ptr(), Py_EQ);
            if (eq < 0) throw py::error_already_set();
            if (eq) return k;
        }
        PyErr_Format(PyExc_ValueError, "%R is not in list", name.ptr());
        throw py::error_already_set();
    }
    return attr(names, N().index)(name).cast<long long>();
}

// Python's a == b (no identity shortcut), as a C++ bool.
bool py_eq(py::handle a, py::handle b) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    const int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (t < 0) throw py::error_already_set();
    return t == 1;
}

long long as_index(py::handle item) {
    PyObject* idx = PyNumber_Index(item.ptr());
    if (!idx) throw py::error_already_set();
    const long long v = PyLong_AsLongLong(idx);
    Py_DECREF(idx);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

int to_index(py::handle item, Eigen::Index n, const char* what) {
    long long v = as_index(item);
    if (v < 0) v += n;
    if (v < 0 || v >= n)
        throw core::IndexError(std::string(what) + ": index " + std::to_string(v < 0 ? v - n : v) +
                               " is out of bounds for " + std::to_string(n) + " species");
    return static_cast<int>(v);
}

std::vector<int> to_indices(py::handle seq, Eigen::Index n, const char* what) {
    std::vector<int> out;
    if (PyList_CheckExact(seq.ptr())) {  // the usual case, without an iterator
        // the size read every time round: an item's __index__ may change the list
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(seq.ptr()); ++k)
            out.push_back(to_index(PyList_GET_ITEM(seq.ptr(), k), n, what));
        return out;
    }
    for (py::handle item : seq) out.push_back(to_index(item, n, what));
    return out;
}

// The "henry_ref" option as a mode: "water" when absent; a non-string value is unrecognised.
core::HenryMode henry_mode_of(const Electrolyte& el) {
    py::object v = map_get(el.options, N().henry_ref, N().s_water);
    if (!py::isinstance<py::str>(v)) return core::HenryMode::Other;
    return core::henry_mode(v.cast<std::string>());
}

Eigen::Index species_count(const Electrolyte& el) {
    const long long n = as_index(attr(el.sp, N().n));
    if (n < 0) throw core::ValueError("sp.n must not be negative");
    return static_cast<Eigen::Index>(n);
}

// ln gamma_i of the full activity model (mode "mixture").
class FullModel : public core::FullActivityAt {
public:
    FullModel(const Electrolyte& el, double T) : activity_(el.sp, el.options), T_(T) {}
    void at(double T) { T_ = T; }
    double operator()(const Eigen::VectorXd& xn, int i) override {
        activity_.ln_gamma(xn, T_, work_);
        return work_[i];
    }
    bool native(Eigen::Index n) const { return activity_.native(n); }

private:
    Activity activity_;
    double T_;
    Eigen::VectorXd work_;
};

core::MatrixView view_of(const DArray& a) {
    return {a.data(), a.shape(0), a.shape(1), a.shape(1), 1};
}

// Henry reference of one model at one T, reusable across calls (the speciation calls it at
// every Newton iteration; core::HenryReferenceAt): on the Python path each evaluation asks the
// species object for its NRTL matrices once, as a call of the Python method does.
class HenryReference : private core::HenrySource {
public:
    HenryReference(const Electrolyte& el, double T)
        : el_(el), T_(T), mode_(henry_mode_of(el)), tau_(el.sp) {
        if (mode_ == core::HenryMode::Mixture) full_.emplace(el, T);  // the only mode that uses it
        n_ = species_count(el);
        core::HenrySource& src = *this;
        core::FullActivityAt* full = full_ ? &*full_ : nullptr;
        ref_.emplace(mode_, n_, to_indices(attr(el.sp, N().henry), n_, "sp.henry"), src, full);
    }

    // Every evaluation runs without Python (and the GIL) once prepare() has read the index sets.
    bool native() const {
        if (!ref_->any()) return true;
        return mode_ == core::HenryMode::Mixture ? full_->native(n_) && tau_.native()
                                                 : tau_.native();
    }
    void only_reacting(const core::Stoichiometry& st) { ref_->only_reacting(st); }
    // Reads what the evaluations need from the species object (GIL held).
    void prepare() { ref_->prepare(); }
    void eval(const Eigen::VectorXd* x, Eigen::VectorXd& out) { ref_->eval(x, out); }
    // The same reference at another T (its molecular term taken again when next evaluated).
    void at(double T) {
        T_ = T;
        if (full_) full_->at(T);
        ref_->forget_term();
    }
    const core::MolecularNrtl* term_taken() const { return ref_->term_taken(); }

private:
    std::vector<int> mol() override { return to_indices(attr(el_.sp, N().mol), n_, "sp.mol"); }
    int water() override { return to_index(attr(el_.sp, N().water), n_, "sp.water"); }
    std::vector<int> solv() override { return to_indices(attr(el_.sp, N().solv), n_, "sp.solv"); }
    void term(const std::vector<int>& mol, core::MolecularNrtl& lc) override {
        tau_.assign(T_, mol, lc);
    }
    void ask_term() override { tau_.ask(T_); }
    bool compiled_term() const override { return tau_.native(); }

    const Electrolyte& el_;
    double T_;
    core::HenryMode mode_;
    Eigen::Index n_ = 0;
    std::optional<FullModel> full_;
    MoleculeTau tau_;
    std::optional<core::HenryReferenceAt> ref_;
};

// The speciation's view of the outside world for one call.
class Callbacks : public core::SpeciationCallbacks {
public:
    Callbacks(py::handle self, const Electrolyte& el, double T)
        : activity_(el.sp, el.options),
          T_(T),
          override_(python_override(self, "henry_ref")),
          stoich_(el.stoich.get()) {
        if (!override_) ref_.emplace(el, T);
    }
    // true: every call below runs without Python, so the solve may drop the GIL. Reads the
    // index sets of the species object that the Henry reference will need (GIL held).
    bool prepare_native(Eigen::Index n) {
        if (override_ || !activity_.native(n) || !ref_->native()) return false;
        if (stoich_) ref_->only_reacting(*stoich_);
        ref_->prepare();
        return true;
    }
    void ln_gamma(const Eigen::VectorXd& x, Eigen::VectorXd& out) override {
        activity_.ln_gamma(x, T_, out);
    }
    void henry_ref(const Eigen::VectorXd* x, const Eigen::VectorXd& lng,
                   Eigen::VectorXd& out) override {
        if (override_) {
            py::object r = x ? override_(T_, to_numpy(*x), to_numpy(lng)) : override_(T_);
            out = to_vector(r, "henry_ref");
            if (out.size() != lng.size())
                throw core::ValueError("henry_ref returned " + std::to_string(out.size()) +
                                       " values for " + std::to_string(lng.size()) + " species");
            return;
        }
        ref_->eval(x, out);
    }
    // The same callbacks at another T (the Python replacement of henry_ref is not reused).
    void at(double T) {
        T_ = T;
        if (ref_) ref_->at(T);
    }
    // The molecular term of the Henry reference at T, where the solve took it (else nullptr).
    const core::MolecularNrtl* term_taken() const { return ref_ ? ref_->term_taken() : nullptr; }

private:
    Activity activity_;
    double T_;
    py::object override_;
    const core::Stoichiometry* stoich_;
    std::optional<HenryReference> ref_;
};

// Calls f(key, value) for every entry of a mapping, in its iteration order (AttributeError
// for None, like iterating its items()).
template <class F>
void for_items(py::handle mapping, F&& f) {
    if (PyDict_CheckExact(mapping.ptr())) {
        // A copy of the items: f may run Python code that changes the mapping.
        py::list items = py::reinterpret_steal<py::list>(PyDict_Items(mapping.ptr()));
        if (!items) throw py::error_already_set();
        for (py::handle kv : items) f(PyTuple_GET_ITEM(kv.ptr(), 0), PyTuple_GET_ITEM(kv.ptr(), 1));
        return;
    }
    for (py::handle kv : attr(mapping, N().items)()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(kv);
        f(pair[0], pair[1]);
    }
}

// n0: apparent amounts on the species, then the complete dissociations. `feed` hands
// (name, amount) pairs to its argument.
template <class Feed>
Eigen::VectorXd apparent_on_species(const Electrolyte& el, Eigen::Index n, Feed&& feed) {
    Eigen::VectorXd n0 = Eigen::VectorXd::Zero(n);
    auto position = [&](py::handle name) {
        const long long p = name_index(el.names, name);
        if (p < 0 || p >= n)
            throw core::IndexError("species " + py::repr(name).cast<std::string>() +
                                   " lies past sp.n = " + std::to_string(n));
        return static_cast<Eigen::Index>(p);
    };
    feed([&](py::handle name, double v) { n0[position(name)] += v; });

    for (py::handle r : el.diss) {
        // extent at which the limiting reactant is used up; water ("WATER") does not limit
        bool any = false;
        double amount = 0.0;
        for_items(r, [&](py::handle c, py::handle coef) {
            const double v = to_double(coef);
            if (!(v < 0.0) || py_eq(c, N().WATER)) return;
            const double e = n0[position(c)] / (-v);
            if (!any || e < amount) amount = e;
            any = true;
        });
        if (!any) py::module_::import("builtins").attr("min")(py::list());  // the host's own error
        for_items(
            r, [&](py::handle c, py::handle coef) { n0[position(c)] += to_double(coef) * amount; });
    }
    return n0;
}

// Whether every key of the dict d is a str and every value a float (exact types): reading them
// runs no Python code, so d can be walked in place.
bool plain_amounts(PyObject* d) {
    if (!PyDict_CheckExact(d)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *v;
    while (PyDict_Next(d, &pos, &key, &v))
        if (!PyUnicode_CheckExact(key) || !PyFloat_CheckExact(v)) return false;
    return true;
}

// n0 of an apparent liquid given as a Python mapping {name: amount}.
Eigen::VectorXd apparent_n0(const Electrolyte& el, Eigen::Index n, py::handle n_app) {
    return apparent_on_species(el, n, [&](auto&& add) {
        if (plain_amounts(n_app.ptr())) {  // (for_items' order, without its copy of the items)
            Py_ssize_t pos = 0;
            PyObject *key, *v;
            while (PyDict_Next(n_app.ptr(), &pos, &key, &v)) add(key, PyFloat_AS_DOUBLE(v));
            return;
        }
        for_items(n_app, [&](py::handle c, py::handle v) { add(c, to_double(v)); });
    });
}

using Warm = Electrolyte::Warm;

// `_warm` is the Electrolyte's own property (a Python subclass may replace it; then the record
// is read and written through the attribute, as Python code would).
bool own_warm(py::handle self) {
    static PyObject* base = py::type::of<Electrolyte>().ptr();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
    if (type == base) return true;
    static PyObject* mine = PyObject_GetAttr(base, N().warm.ptr());  // kept for the process
    if (!mine) throw py::error_already_set();
    PyObject* found = PyObject_GetAttr(type, N().warm.ptr());
    if (!found) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(found);
    return found == mine;
}

// The record is kept in C++ (a session's, or the model's own property): read and written here,
// not through the attribute.
bool kept_record(py::handle self) { return session_for(self) || own_warm(self); }

// Without the GIL: false when the record is a Python object (read_warm then reads it).
bool read_warm_native(Electrolyte& el, double T, Eigen::Index n, Eigen::VectorXd& w,
                      Eigen::VectorXd& lngw, core::WarmStart& warm) {
    std::lock_guard<std::mutex> held(el.lock.m);
    const Warm& rec = warm_of(el);
    if (rec.held == Warm::kOutside) return false;
    rec.read(T, n, w, lngw, warm);
    return true;
}

void read_warm(py::handle self, Electrolyte& el, double T, Eigen::Index n, Eigen::VectorXd& w,
               Eigen::VectorXd& lngw, core::WarmStart& warm);
bool ref_follows_x(const Electrolyte& el);
void record_solution(py::handle self, Electrolyte& el, double T, const core::SpeciationResult& res,
                     bool gil);

// The speciation of n0 at T with these callbacks, ln K and warm start, its status and record
// written with the GIL held. native: every callback runs without Python, so the solve drops the
// GIL and other threads run meanwhile.
core::SpeciationResult solve_recorded(py::handle self, Electrolyte& el, const Eigen::VectorXd& n0,
                                      const Eigen::VectorXd& lnK, double T,
                                      const core::WarmStart& warm,
                                      const core::SpeciationSettings& set, Callbacks& cb,
                                      bool native) {
    core::SpeciationResult res;
    if (native) {
        py::gil_scoped_release nogil;
        res = core::solve_speciation(*el.stoich, n0, lnK, warm, set, cb);
    } else {
        res = core::solve_speciation(*el.stoich, n0, lnK, warm, set, cb);
    }
    record_solution(self, el, T, res, true);
    return res;
}

Speciation run_speciation(py::handle self, Eigen::VectorXd n0, double T, double tol, int maxit,
                          Eigen::VectorXd* lnK_out = nullptr) {
    Electrolyte& el = electrolyte(self);
    const core::Stoichiometry& st = *el.stoich;
    const Eigen::Index n = n0.size();
    core::check_species(st, n);

    Eigen::VectorXd lnK;
    py::object replaced = python_override(self, "lnK");
    lnK = replaced ? to_vector(replaced(T), "lnK") : ln_k(el, T);
    core::check_constants(st, lnK.size(), !replaced);

    Eigen::VectorXd w, lngw;
    core::WarmStart warm;
    read_warm(self, el, T, n, w, lngw, warm);

    Callbacks cb(self, el, T);
    core::SpeciationSettings set;
    set.tol = tol;
    set.maxit = maxit;
    set.ref_follows_x = ref_follows_x(el);

    // with the package's own activity model the whole solve runs in C++, without the GIL
    core::SpeciationResult res =
        solve_recorded(self, el, n0, lnK, T, warm, set, cb, cb.prepare_native(n));
    if (lnK_out != nullptr) *lnK_out = std::move(lnK);
    return Speciation{std::move(res.n), std::move(res.lng)};
}

// Warm start: (Tw, w, lngw) of the last finite solution of this instance, read into w and lngw
// when it applies to n species at T (GIL held). A record set from Python is read as Python
// reads a tuple, with its errors.
void read_warm(py::handle self, Electrolyte& el, double T, Eigen::Index n, Eigen::VectorXd& w,
               Eigen::VectorXd& lngw, core::WarmStart& warm) {
    py::object rec;
    if (!kept_record(self)) {
        PyObject* r = PyObject_GetAttr(self.ptr(), N().warm.ptr());  // missing: read as None
        if (!r) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            return;
        }
        rec = py::reinterpret_steal<py::object>(r);
    } else {
        std::lock_guard<std::mutex> held(el.lock.m);
        const Warm& kept = warm_of(el);
        if (kept.held != Warm::kOutside) {
            kept.read(T, n, w, lngw, warm);
            return;
        }
        rec = kept.py;
    }
    if (!rec.is_none()) {
        py::tuple t = py::tuple(rec);
        if (t.size() != 3)
            throw core::ValueError(t.size() < 3
                                       ? "not enough values to unpack (expected 3, got " +
                                             std::to_string(t.size()) + ")"
                                       : std::string("too many values to unpack (expected 3)"));
        const double Tw = to_double(t[0]);
        // The stored amounts are read only when the record is used: a record too far away in T
        // or of another length is ignored whatever it holds.
        Py_ssize_t len = -1;
        if (core::warm_applies(Tw, T) && (len = PyObject_Length(t[1].ptr())) < 0)
            throw py::error_already_set();
        if (len == n) {
            w = to_vector(t[1], "_warm");
            lngw = to_vector(t[2], "_warm");
            if (lngw.size() != n)
                throw core::ValueError("warm-start record: ln gamma has " +
                                       std::to_string(lngw.size()) + " entries for " +
                                       std::to_string(n) + " species");
            warm.w = &w;
            warm.lng = &lngw;
        }
    }
}

// The "henry_ref" mode makes the reference follow the composition ("solvent", "mixture").
bool ref_follows_x(const Electrolyte& el) {
    py::object mode = map_get(el.options, N().henry_ref, py::none());
    return py_eq(mode, N().s_solvent) || py_eq(mode, N().s_mixture);
}

// The status of the speciation and, for a finite solution, the new warm-start record, kept in
// C++. gil: the GIL is held (the record a Python object replaced is dropped here; without the
// GIL it is left for the next access that holds it).
void record_solution(py::handle self, Electrolyte& el, double T, const core::SpeciationResult& res,
                     bool gil) {
    if (gil && !kept_record(self)) {
        {
            std::lock_guard<std::mutex> held(el.lock.m);
            status_of(el).speciation(res);
        }
        if (res.finite()) {
            Eigen::VectorXd wn = res.n / res.tot;
            if (PyObject_SetAttr(self.ptr(), N().warm.ptr(),
                                 py::make_tuple(T, to_numpy(wn), to_numpy(res.lng)).ptr()) < 0)
                throw py::error_already_set();
        }
        return;
    }
    py::object old;  // released after the lock
    std::lock_guard<std::mutex> held(el.lock.m);
    status_of(el).speciation(res);
    if (!res.finite()) return;
    Warm& rec = warm_of(el);
    if (gil) old = std::move(rec.py);
    rec.store(T, res);
}

Speciation from_python_result(py::handle r) {
    py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(r));
    if (t.size() != 2) throw core::ValueError("true_amounts must return the pair (n, lng)");
    return Speciation{to_vector(t[0], "true_amounts"), to_vector(t[1], "true_amounts")};
}

}  // namespace

Electrolyte& electrolyte(py::handle self) {
    // Checked by hand: an instance made by __new__ alone has no constructed record.
    static PyObject* type = py::type::of<Electrolyte>().ptr();
    const int ok = PyObject_IsInstance(self.ptr(), type);
    if (ok < 0) throw py::error_already_set();
    if (!ok) throw core::TypeError("an Electrolyte is required");
    Electrolyte* el = py::cast<Electrolyte*>(self);
    if (el == nullptr || !el->initialised)
        throw core::TypeError(
            "the Electrolyte is not initialised (Electrolyte.__init__ was not called)");
    return *el;
}

py::object python_override(py::handle self, const char* name) {
    static py::handle base = py::type::of<Electrolyte>();
    // The method names as interned strings, made once per call site's literal (keyed by its
    // address: no hashing of the text on every call; the GIL guards the map).
    static auto* keys = new std::unordered_map<const char*, PyObject*>();
    PyObject*& key = (*keys)[name];
    if (!key && !(key = PyUnicode_InternFromString(name))) throw py::error_already_set();
    py::handle type = py::type::of(self);
    if (PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr)) {
        PyObject* v = PyDict_GetItemWithError(dict, key);  // borrowed
        if (!v && PyErr_Occurred()) {
            Py_DECREF(dict);
            throw py::error_already_set();
        }
        py::object found = v ? py::reinterpret_borrow<py::object>(v) : py::object();
        Py_DECREF(dict);
        if (found) return found;
    } else {
        PyErr_Clear();
    }
    if (type.is(base)) return py::object();
    py::object mine = type.attr(name), theirs = base.attr(name);
    if (mine.is(theirs)) return py::object();
    return py::getattr(self, name);
}

namespace {
thread_local Session* open_sessions = nullptr;  // the innermost session open on this thread

Session* session_of(const Electrolyte& el) {
    for (Session* s = open_sessions; s != nullptr; s = s->outer)
        if (s->el == &el) return s;
    return nullptr;
}
}  // namespace

Session::Session(py::handle self_obj, Electrolyte& model, WarmStart& warm)
    : self(self_obj.ptr()), el(&model), start(warm), outer(open_sessions) {
    open_sessions = this;
}

Session::~Session() { open_sessions = outer; }

Electrolyte::Warm& warm_of(Electrolyte& el) {
    Session* s = session_of(el);
    return s ? s->start.warm : el.warm;
}

Electrolyte::Status& status_of(Electrolyte& el) {
    Session* s = session_of(el);
    return s ? s->status : el.status;
}

bool session_for(py::handle self) {
    for (Session* s = open_sessions; s != nullptr; s = s->outer)
        if (s->self == self.ptr()) return true;
    return false;
}

py::dict status_dict(const Electrolyte::Status& s) {
    py::dict d;
    d["speciation_converged"] = s.speciation_converged;
    d["speciation_iterations"] = s.speciation_iterations;
    d["split_status"] = s.split_status ? py::object(py::int_(*s.split_status)) : py::none();
    d["substitution_err"] =
        s.substitution_err ? py::object(py::float_(*s.substitution_err)) : py::none();
    return d;
}

namespace {
[[noreturn]] void no_warm(py::handle self) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '_warm'",
                 Py_TYPE(self.ptr())->tp_name);
    throw py::error_already_set();
}

Electrolyte* initialised(py::handle self) {
    Electrolyte* el = py::cast<Electrolyte*>(self);
    return el != nullptr && el->initialised ? el : nullptr;
}
}  // namespace

py::object warm_get(py::handle self) {
    Electrolyte* el = initialised(self);
    if (!el) no_warm(self);
    double T = 0.0;
    Eigen::VectorXd w, lng;
    unsigned long long version = 0;
    bool absent = false;
    {
        std::lock_guard<std::mutex> held(el->lock.m);
        const Warm& rec = warm_of(*el);
        if (rec.held == Warm::kOutside) return rec.py;
        absent = rec.held == Warm::kAbsent;
        if (!absent) {
            if (!rec.has) return py::none();
            T = rec.T;
            w = rec.w;
            lng = rec.lng;
            version = rec.version;
        }
    }
    if (absent) no_warm(self);
    // The tuple is made without the lock (making it may run Python code); it becomes the record
    // unless a speciation replaced the record meanwhile.
    py::object made = py::make_tuple(T, to_numpy(w), to_numpy(lng));
    py::object old;
    std::lock_guard<std::mutex> held(el->lock.m);
    Warm& rec = warm_of(*el);
    if (rec.version == version) {
        old = std::move(rec.py);
        rec.py = made;
        rec.held = Warm::kOutside;
    }
    return made;
}

void warm_set(py::handle self, py::object value) {
    Electrolyte& el = electrolyte(self);
    py::object old;
    std::lock_guard<std::mutex> held(el.lock.m);
    Warm& rec = warm_of(el);
    old = std::move(rec.py);
    rec.reset(value.is_none() ? Warm::kKept : Warm::kOutside);
    if (!value.is_none()) rec.py = std::move(value);
}

void warm_del(py::handle self) {
    Electrolyte* el = initialised(self);
    if (!el) no_warm(self);
    py::object old;
    {
        std::lock_guard<std::mutex> held(el->lock.m);
        Warm& rec = warm_of(*el);
        if (rec.held != Warm::kAbsent) {
            old = std::move(rec.py);
            rec.reset(Warm::kAbsent);
            return;
        }
    }
    no_warm(self);
}

SpeciesSets species_sets(const Electrolyte& el, unsigned fields) {
    SpeciesSets s;
    s.n = species_count(el);
    if (fields & kSpHenry) s.henry = to_indices(attr(el.sp, N().henry), s.n, "sp.henry");
    if (fields & kSpSolv) s.solv = to_indices(attr(el.sp, N().solv), s.n, "sp.solv");
    if (fields & kSpMol) s.mol = to_indices(attr(el.sp, N().mol), s.n, "sp.mol");
    if (fields & kSpWater) s.water = to_index(attr(el.sp, N().water), s.n, "sp.water");
    if (fields & kSpZ) {
        s.z = to_vector(attr(el.sp, N().z), "sp.z");
        if (s.z.size() != s.n) throw core::ValueError("sp.z must have one charge per species");
    }
    if (fields & kSpIon) {
        for (py::handle f : attr(el.sp, N().ion))
            s.ion.push_back(py::bool_(py::reinterpret_borrow<py::object>(f)) ? 1 : 0);
        if (static_cast<Eigen::Index>(s.ion.size()) != s.n)
            throw core::ValueError("sp.ion must have one flag per species");
    }
    if (fields & kSpNames)
        for (py::handle nm : el.names) {
            Py_ssize_t len = 0;
            const char* utf8 =
                PyUnicode_Check(nm.ptr()) ? PyUnicode_AsUTF8AndSize(nm.ptr(), &len) : nullptr;
            if (utf8 == nullptr) PyErr_Clear();  // not a str, or not UTF-8: as str() gives it
            s.names.push_back(utf8 ? std::string(utf8, static_cast<std::size_t>(len))
                                   : py::str(nm).cast<std::string>());
        }
    return s;
}

void molecular_term(py::handle tm, const std::vector<int>& mol, core::MolecularNrtl& lc) {
    py::object pair = py::reinterpret_borrow<py::object>(tm);
    const DArray tau = DArray::ensure(pair[py::int_(0)]), alpha = DArray::ensure(pair[py::int_(1)]);
    if (!tau || !alpha)
        throw core::TypeError(
            "molecule_tau must return two square matrices of numbers (tau, alpha)");
    if (tau.ndim() != 2 || alpha.ndim() != 2)
        throw core::ValueError("molecule_tau must return two square matrices (tau, alpha)");
    lc.assign(mol, view_of(tau), view_of(alpha));  // G and tau copied: the arrays may go
}

Eigen::VectorXd ln_k(const Electrolyte& el, double T) {
    // Read in the order of the expression A + B/T + C ln T + D T, so that the first failure is
    // the one the plain Python expression would raise. ln T is taken where the first record
    // needs it and used again (the same value, or the same error at the same place).
    std::vector<double> out;
    double lnT = 0.0;
    bool have_lnT = false;
    auto record = [&](py::handle kk) {
        auto get = [&](const py::str& key) {
            PyObject* v = PyObject_GetItem(kk.ptr(), key.ptr());
            if (!v) throw py::error_already_set();
            return to_double(py::reinterpret_steal<py::object>(v));
        };
        const double A = get(N().A);
        const double B = get(N().B);
        double v = A + core::py_div(B, T);
        const double C = get(N().C);
        if (!have_lnT) {
            lnT = core::py_log(T);
            have_lnT = true;
        }
        v = v + C * lnT;
        const double D = get(N().D);
        v = v + D * T;
        out.push_back(v);
    };
    if (PyList_CheckExact(el.K.ptr())) {
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(el.K.ptr())));
        // the size read every time round: a record's lookup may run Python code
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(el.K.ptr()); ++k)
            record(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(el.K.ptr(), k)));
    } else {
        for (py::handle kk : el.K) record(kk);
    }
    return Eigen::Map<Eigen::VectorXd>(out.data(), static_cast<Eigen::Index>(out.size()));
}

Eigen::VectorXd henry_ref(const Electrolyte& el, double T, const Eigen::VectorXd* x) {
    HenryReference ref(el, T);
    Eigen::VectorXd out;
    ref.eval(x, out);
    return out;
}

double ln_h_mix(const Electrolyte& el, py::handle i, const Eigen::VectorXd& x, double T) {
    const Eigen::Index n = species_count(el);
    core::MolecularNrtl lc;
    MoleculeTau tau(el.sp);
    if (tau.native()) {
        tau.assign(T, to_indices(attr(el.sp, N().mol), n, "sp.mol"), lc);
    } else {
        py::object tm = attr(el.sp, N().molecule_tau)(T);  // asked before sp.mol is read
        molecular_term(tm, to_indices(attr(el.sp, N().mol), n, "sp.mol"), lc);
    }
    core::HenryMix mix;
    Eigen::VectorXd xa(n);
    std::vector<double> p;
    for_items(el.henry, [&](py::handle pair_key, py::handle coefs) {
        py::tuple key = py::tuple(py::reinterpret_borrow<py::object>(pair_key));
        if (key.size() != 2) throw core::ValueError("Henry table keys are (solute, solvent) pairs");
        if (!py_eq(key[0], i)) return;
        py::object A = key[1];
        const long long a = name_index(el.names, A);
        if (a < 0 || a >= x.size())
            throw core::IndexError("solvent position " + std::to_string(a) +
                                   " is out of bounds for x of size " + std::to_string(x.size()));
        const double vc = to_double(map_get(el.vc, A, py::float_(0.1)));
        p.clear();
        for (py::handle c : coefs) p.push_back(to_double(c));
        const double lnH = core::henry_ln_h(p, T);
        const long long ii = name_index(el.names, i);
        core::pure_solvent_reference(n, static_cast<int>(a), static_cast<int>(ii), xa);
        mix.add(x[a], vc, lnH, lc.ln_gamma_at(xa, static_cast<int>(ii)));
    });
    return mix.result();
}

double ln_h_mix(const Electrolyte& el, const std::string& i, const Eigen::VectorXd& x, double T) {
    return ln_h_mix(el, py::str(i), x, T);
}

Speciation true_amounts(py::handle self, py::handle n_app, double T, double tol, int maxit) {
    if (py::object f = python_override(self, "true_amounts"))
        return from_python_result(f(n_app, T, tol, maxit));
    return speciate(self, n_app, T, tol, maxit);
}

Speciation speciate(py::handle self, py::handle n_app, double T, double tol, int maxit) {
    Electrolyte& el = electrolyte(self);
    const Eigen::Index n = species_count(el);
    return run_speciation(self, apparent_n0(el, n, n_app), T, tol, maxit);
}

std::optional<double> speciation_residual(py::handle self, py::handle n_app, double T,
                                          const Eigen::VectorXd& n, const Eigen::VectorXd& lng) {
    if (python_override(self, "lnK") || python_override(self, "henry_ref")) return std::nullopt;
    const Electrolyte& el = electrolyte(self);
    return core::speciation_residual(
        *el.stoich, n, lng, [&](const Eigen::VectorXd& x) { return henry_ref(el, T, &x); },
        [&] { return ln_k(el, T); },
        [&] { return apparent_n0(el, el.stoich->n_species(), n_app); });
}

// A dict's version tag, which every change of the dict moves (CPython before 3.12).
static std::uint64_t dict_version(PyObject* d) {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#else
    (void)d;
    return 0;
#endif
}

// What the front door's cold speciation keeps of a model between calls: the callbacks with the
// activity model and the Henry reference resolved and their index sets read (the molecular term
// is taken again at each T), and the ln K records as numbers. Kept while the species object (its
// instance dict unchanged), its compiled model, the options and the ln K records are the same
// objects, unchanged, and the activity model is the package's own: what FlashLiquid asks to
// reuse its callbacks within one flash, plus the version tags of the dicts read. Only where
// CPython has version tags (before 3.12); elsewhere each call reads the model afresh.
struct FrontSpeciation {
    static constexpr bool kKept = PY_VERSION_HEX < 0x030C0000;

    FrontSpeciation(py::handle self, const Electrolyte& el, Eigen::Index n_species, double T)
        : cb(self, el, T), n(n_species), follows_x(ref_follows_x(el)) {}

    // Reads what is checked later; false where the model cannot be kept (then the call goes on
    // with these callbacks but does not keep them).
    bool keep(const Electrolyte& el) {
        if (!kKept || !PyDict_CheckExact(el.options.ptr()) || !PyList_CheckExact(el.K.ptr()))
            return false;
        PyObject* d = PyObject_GenericGetDict(el.sp.ptr(), nullptr);
        if (d == nullptr) {
            PyErr_Clear();
            return false;
        }
        sp_dict = py::reinterpret_steal<py::object>(d);
        sp_version = dict_version(d);
        sp = el.sp;
        core = compiled_core(sp);
        options = el.options;
        options_version = dict_version(options.ptr());
        K = el.K;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(K.ptr()); ++k) {
            PyObject* r = PyList_GET_ITEM(K.ptr(), k);
            if (!PyDict_CheckExact(r)) return false;
            std::array<double, 4> c{};
            const py::str* keys[4] = {&N().A, &N().B, &N().C, &N().D};
            for (int j = 0; j < 4; ++j) {
                PyObject* v = PyDict_GetItemWithError(r, keys[j]->ptr());  // borrowed
                if (v == nullptr || !(PyFloat_CheckExact(v) || PyLong_CheckExact(v))) {
                    PyErr_Clear();
                    return false;
                }
                c[static_cast<std::size_t>(j)] = to_double(v);
            }
            records.push_back(py::reinterpret_borrow<py::object>(r));
            versions.push_back(dict_version(r));
            coefs.push_back(c);
        }
        return own_activity(sp, core);
    }

    // The model is as it was when kept (GIL held).
    bool current(const Electrolyte& el, Eigen::Index n_species) const {
        if (n != n_species || !el.sp.is(sp) || !el.options.is(options) || !el.K.is(K) ||
            dict_version(options.ptr()) != options_version)
            return false;
        PyObject* d = PyObject_GenericGetDict(sp.ptr(), nullptr);
        if (d == nullptr) {
            PyErr_Clear();
            return false;
        }
        const bool same = d == sp_dict.ptr() && dict_version(d) == sp_version;
        Py_DECREF(d);
        if (!same || PyList_GET_SIZE(K.ptr()) != static_cast<Py_ssize_t>(records.size()))
            return false;
        for (std::size_t k = 0; k < records.size(); ++k) {
            PyObject* r = PyList_GET_ITEM(K.ptr(), static_cast<Py_ssize_t>(k));
            if (r != records[k].ptr() || dict_version(r) != versions[k]) return false;
        }
        return own_activity(sp, core);
    }

    // ln K at T from the records: the arithmetic of ln_k, in its order.
    Eigen::VectorXd ln_k(double T) const {
        Eigen::VectorXd out(static_cast<Eigen::Index>(coefs.size()));
        double lnT = 0.0;
        bool have_lnT = false;
        for (std::size_t k = 0; k < coefs.size(); ++k) {
            const std::array<double, 4>& c = coefs[k];
            double v = c[0] + core::py_div(c[1], T);
            if (!have_lnT) {
                lnT = core::py_log(T);
                have_lnT = true;
            }
            v = v + c[2] * lnT;
            v = v + c[3] * T;
            out[static_cast<Eigen::Index>(k)] = v;
        }
        return out;
    }

    Callbacks cb;
    Eigen::Index n;
    bool follows_x;
    py::object sp, sp_dict, core, options, K;
    std::uint64_t sp_version = 0, options_version = 0;
    std::vector<py::object> records;
    std::vector<std::uint64_t> versions;
    std::vector<std::array<double, 4>> coefs;
};

// The front door's speciation callbacks of the model at T, with ln K at T: the kept ones where
// they are current, else new ones (`keep`: whether they may be kept after the call). Null where
// they would not run natively (the caller then takes the general path). Raises what reading the
// model raises.
std::shared_ptr<FrontSpeciation> front_callbacks(py::handle self, Electrolyte& el, Eigen::Index n,
                                                 double T, Eigen::VectorXd& lnK, bool& keep) {
    std::shared_ptr<FrontSpeciation> front = std::move(el.front_speciation);  // GIL held
    keep = true;
    if (front && front->current(el, n)) {
        lnK = front->ln_k(T);
        front->cb.at(T);
        return front;
    }
    lnK = ln_k(el, T);
    front = std::make_shared<FrontSpeciation>(self, el, n, T);
    if (!front->cb.prepare_native(n)) return nullptr;
    keep = front->keep(el);
    return front;
}

namespace {
void front_trace(core::SpeciationSettings& set) {
    set.trace_tol = kFrontTraceTol;
    set.trace_maxit = kFrontTraceMaxit;
}
}  // namespace

std::optional<ColdSpeciation> cold_speciation(py::handle self, py::handle n_app, double T) {
    for (const char* name : {"true_amounts", "lnK", "henry_ref", "_residual", "_status"})
        if (python_override(self, name)) return std::nullopt;
    if (!kept_record(self)) return std::nullopt;
    warm_set(self, py::none());  // from a cold start
    Electrolyte& el = electrolyte(self);
    const core::Stoichiometry& st = *el.stoich;
    ColdSpeciation out;
    std::shared_ptr<FrontSpeciation> front;
    bool keep = false;
    core::SpeciationSettings set;
    try {  // what fails here fails on the caller's path too, with its own message
        const Eigen::Index n = species_count(el);
        if (st.n_species() != n) return std::nullopt;
        out.n0 = apparent_n0(el, n, n_app);
        front = front_callbacks(self, el, n, T, out.lnK, keep);
        if (!front || out.lnK.size() != st.n_eq()) return std::nullopt;
        set.ref_follows_x = front->follows_x;
        front_trace(set);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    core::SpeciationResult res =
        solve_recorded(self, el, out.n0, out.lnK, T, core::WarmStart{}, set, front->cb, true);
    out.converged = res.converged;
    out.n = std::move(res.n);
    out.lng = std::move(res.lng);
    if (const core::MolecularNrtl* lc = front->cb.term_taken()) out.lc = *lc;
    if (keep) el.front_speciation = std::move(front);
    return out;
}

ColdSpeciation warm_speciation(py::handle self, py::handle n_app, double T, bool trace_steps) {
    Electrolyte& el = electrolyte(self);
    ColdSpeciation out;
    const Eigen::Index n = species_count(el);
    out.n0 = apparent_n0(el, n, n_app);
    std::shared_ptr<FrontSpeciation> front;
    bool keep = false;
    try {  // where this fails, the general path below raises what it raises
        front = front_callbacks(self, el, n, T, out.lnK, keep);
    } catch (const std::exception&) {
        front.reset();
    }
    if (!front) {
        Speciation s = run_speciation(self, out.n0, T, 1e-11, 200, &out.lnK);
        {
            std::lock_guard<std::mutex> held(el.lock.m);
            out.converged = status_of(el).speciation_converged;
        }
        out.n = std::move(s.n);
        out.lng = std::move(s.lng);
        return out;
    }
    // run_speciation's steps with the kept callbacks
    core::check_species(*el.stoich, n);
    core::check_constants(*el.stoich, out.lnK.size(), true);
    Eigen::VectorXd w, lngw;
    core::WarmStart warm;
    read_warm(self, el, T, n, w, lngw, warm);
    core::SpeciationSettings set;
    set.tol = 1e-11;
    set.maxit = 200;
    set.ref_follows_x = front->follows_x;
    if (trace_steps) front_trace(set);
    core::SpeciationResult res =
        solve_recorded(self, el, out.n0, out.lnK, T, warm, set, front->cb, true);
    out.converged = res.converged;
    out.n = std::move(res.n);
    out.lng = std::move(res.lng);
    if (keep) el.front_speciation = std::move(front);
    return out;
}

Speciation true_amounts(py::handle self, const Amounts& n_app, double T, double tol, int maxit) {
    if (py::object f = python_override(self, "true_amounts")) {
        py::dict d;
        for (const auto& [name, v] : n_app) {
            py::str key(name);
            d[key] =
                d.contains(key) ? py::float_(py::float_(d[key]).cast<double>() + v) : py::float_(v);
        }
        return from_python_result(f(d, T, tol, maxit));
    }
    Electrolyte& el = electrolyte(self);
    const Eigen::Index n = species_count(el);
    Eigen::VectorXd n0 = apparent_on_species(el, n, [&](auto&& add) {
        for (const auto& [name, v] : n_app) add(py::str(name), v);
    });
    return run_speciation(self, std::move(n0), T, tol, maxit);
}

core::Antoine antoine_coeffs(py::handle p) {
    core::Antoine c;
    if ((PyList_CheckExact(p.ptr()) || PyTuple_CheckExact(p.ptr())) &&
        PySequence_Fast_GET_SIZE(p.ptr()) >= 7) {  // the usual record, read without indexing
        for (std::size_t i = 0; i < 7; ++i)
            c[i] = to_double(PySequence_Fast_GET_ITEM(p.ptr(), static_cast<Py_ssize_t>(i)));
        return c;
    }
    for (std::size_t i = 0; i < 7; ++i) c[i] = to_double(p[py::int_(i)]);
    return c;
}

FlashLiquid::FlashLiquid(py::handle self, std::vector<std::string> comps, double T)
    : self_(self), comps_(std::move(comps)), T_(T) {}

void FlashLiquid::build() {
    Electrolyte& el = electrolyte(self_);
    const SpeciesSets sets = species_sets(el, kSpZ | kSpHenry | kSpNames | kSpMol);
    core::FlashLiquidTables& t = tables_;
    t.n = sets.n;
    if (el.stoich->n_species() != t.n) throw core::ValueError("species count");
    t.lnK = ln_k(el, T_);
    if (t.lnK.size() != el.stoich->n_eq()) throw core::ValueError("constant records");
    t.ref_follows_x = ref_follows_x(el);

    auto position = [&](py::handle name) {
        const long long p = name_index(el.names, name);
        if (p < 0 || p >= t.n) throw core::IndexError("species position");
        return static_cast<Eigen::Index>(p);
    };
    for (const std::string& c : comps_) t.pos.push_back(position(py::str(c)));
    for (py::handle r : el.diss) {
        std::vector<std::pair<Eigen::Index, double>> terms;
        std::vector<char> limits;
        for_items(r, [&](py::handle c, py::handle coef) {
            const double v = to_double(coef);
            terms.emplace_back(position(c), v);
            limits.push_back(v < 0.0 && !py_eq(c, N().WATER));
        });
        if (std::find(limits.begin(), limits.end(), 1) == limits.end())
            throw core::ValueError("no limiting reactant");
        t.diss.push_back(std::move(terms));
        t.diss_limits.push_back(std::move(limits));
    }

    // The fugacity routes of the species, in the order of liquid_fugacities: ions none, Henry
    // components (ln_h_mix), species with Antoine data (psat), the others none.
    t.reset_species(t.n);
    std::vector<char> is_henry(static_cast<std::size_t>(t.n), 0);
    for (int h : sets.henry) is_henry[static_cast<std::size_t>(h)] = 1;
    core::MolecularNrtl lc;
    bool have_lc = false;
    Eigen::VectorXd xa(t.n);
    std::vector<double> p;
    for (Eigen::Index k = 0; k < t.n; ++k) {
        const auto sk = static_cast<std::size_t>(k);
        if (sets.z[k] != 0.0) continue;
        py::str name(sets.names[sk]);
        if (is_henry[sk]) {
            if (!have_lc) {
                MoleculeTau tau(el.sp);
                if (!tau.native()) throw core::ValueError("molecule_tau replaced");
                tau.assign(T_, sets.mol, lc);
                have_lc = true;
            }
            const auto ii = static_cast<int>(position(name));
            for_items(el.henry, [&](py::handle pair_key, py::handle coefs) {
                py::tuple key = py::tuple(py::reinterpret_borrow<py::object>(pair_key));
                if (key.size() != 2) throw core::ValueError("Henry table key");
                if (!py_eq(key[0], name)) return;
                py::object A = key[1];
                const Eigen::Index a = position(A);
                const double vc = to_double(map_get(el.vc, A, py::float_(0.1)));
                p.clear();
                for (py::handle c : coefs) p.push_back(to_double(c));
                t.pairs[sk].push_back(
                    core::henry_pair(t.n, static_cast<int>(a), ii, vc, p, T_, lc, xa));
            });
            if (t.pairs[sk].empty()) throw core::ValueError("Henry component without a pair");
            t.kind[sk] = core::FlashLiquidTables::kHenry;
        } else if (el.antoine.contains(name)) {
            t.psat[sk] = core::psat(antoine_coeffs(el.antoine[name]), T_);
            t.kind[sk] = core::FlashLiquidTables::kAntoine;
        }
    }
    t.map_components(comps_, sets.names);
    names_ = sets.names;
    x_.resize(t.n);
    f_.resize(t.n);
}

bool FlashLiquid::reusable(const Electrolyte& el) const {
    return el.sp.is(sp_) && !python_override(self_, "henry_ref") && own_activity(sp_, core_);
}

bool FlashLiquid::ready() {
    if (state_ == kUnusable) return false;
    if (python_override(self_, "fugacities") || python_override(self_, "true_amounts") ||
        python_override(self_, "lnK"))
        return false;
    Electrolyte& el = electrolyte(self_);
    if (!cb_ || !reusable(el)) {
        cb_.reset();
        std::unique_ptr<Callbacks> cb;
        try {
            cb = std::make_unique<Callbacks>(self_, el, T_);
        } catch (const std::exception&) {  // the Python path raises it where the speciation would
            return false;
        }
        if (state_ == kUnread) {
            try {
                build();
                state_ = kReady;
            } catch (const std::exception&) {  // includes a Python error, which is dropped
                state_ = kUnusable;
                return false;
            }
        }
        if (!cb->prepare_native(tables_.n)) return false;
        sp_ = el.sp;
        core_ = compiled_core(sp_);
        cb_ = std::move(cb);
    }
    el_ = &el;
    return true;
}

bool FlashLiquid::fix() {
    fixed_ = ready() && kept_record(self_);
    return fixed_;
}

bool FlashLiquid::fugacities(const Eigen::VectorXd& xa, core::ComponentFugacities& out) {
    if (!fixed_ && !ready()) return false;
    Electrolyte& el = *el_;

    Eigen::VectorXd n0;
    tables_.apparent_on_species(xa, n0);

    Eigen::VectorXd w, lngw;
    core::WarmStart warm;
    if (!fixed_) {
        read_warm(self_, el, T_, tables_.n, w, lngw, warm);
    } else if (!read_warm_native(el, T_, tables_.n, w, lngw, warm)) {
        py::gil_scoped_acquire gil;  // a record that Python set
        read_warm(self_, el, T_, tables_.n, w, lngw, warm);
    }
    core::SpeciationResult res;
    std::exception_ptr failed;  // of the fugacities: raised after the record is written
    {
        // Fixed: the caller has released the GIL already.
        std::optional<py::gil_scoped_release> nogil;
        if (!fixed_) nogil.emplace();
        res = tables_.speciate(*el.stoich, n0, warm, *cb_, x_, f_, out, failed);
    }
    record_solution(self_, el, T_, res, !fixed_);
    if (failed) std::rethrow_exception(failed);
    out.n = std::move(res.n);
    return true;
}

bool FlashLiquid::answer(const Eigen::VectorXd& xa, Answer& out) {
    if (!ready()) return false;
    Electrolyte& el = *el_;
    tables_.apparent_on_species(xa, out.n0);
    Eigen::VectorXd w, lngw;
    core::WarmStart warm;
    read_warm(self_, el, T_, tables_.n, w, lngw, warm);
    core::SpeciationResult res;
    core::ComponentFugacities on_components;
    std::exception_ptr failed;
    {
        py::gil_scoped_release nogil;
        res = tables_.speciate(*el.stoich, out.n0, warm, *cb_, x_, f_, on_components, failed,
                               kFrontTraceMaxit, kFrontTraceTol);
    }
    record_solution(self_, el, T_, res, true);
    if (failed) std::rethrow_exception(failed);
    tables_.species_fugacities(names_, f_, out.f);
    out.converged = res.converged;
    out.n = std::move(res.n);
    out.lng = std::move(res.lng);
    return true;
}

void FlashLiquid::henry_ref(const Eigen::VectorXd& x, Eigen::VectorXd& out) {
    static_cast<Callbacks&>(*cb_).henry_ref(&x, x, out);  // (ln gamma is read where replaced)
}

}  // namespace brinequil::host
