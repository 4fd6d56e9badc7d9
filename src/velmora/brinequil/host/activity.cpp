#include "host/activity.hpp"

#include <memory>
#include <string>

#include "capi.hpp"
#include "host/model_api.hpp"
#include "model.hpp"
#include "model/errors.hpp"

namespace brinequil::host {

namespace {

using DArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Set once by load_activity_api (module load, GIL held) and never released: Python objects
// must not be freed after the interpreter is gone.
struct Api {
    const enrtl::CApi* capi = nullptr;
    PyObject* module = nullptr;        // velmora.ionactivity
    PyObject* own_ln_gamma = nullptr;  // the package's own ionactivity.ln_gamma
    PyObject* own_tau = nullptr;       // the package's own Species.molecule_tau
    PyObject* s_ln_gamma = nullptr;    // interned names
    PyObject* s_core = nullptr;
    PyObject* s_molecule_tau = nullptr;
};
Api api;

PyObject* interned(const char* s) {
    PyObject* r = PyUnicode_InternFromString(s);
    if (!r) throw py::error_already_set();
    return r;
}

// getattr(obj, name) or a null object when missing (other errors pass through).
py::object optional_attr(py::handle obj, PyObject* name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name);
    if (r) return py::reinterpret_steal<py::object>(r);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// The compiled model of sp (sp._core of exactly the type _enrtl.Model), or nullptr. `keep`
// holds the Python object of the model, so that the model outlives a replacement of sp or of
// sp._core by another thread while the GIL is released.
enrtl::Model* compiled_model(py::handle sp, py::object& keep) {
    if (!api.capi) return nullptr;
    keep = optional_attr(sp, api.s_core);
    return keep ? api.capi->model_of(keep.ptr()) : nullptr;
}

// The Python call ionactivity.ln_gamma(sp, x, T[, options]) and the check of its result.
void python_ln_gamma(py::handle sp, py::handle options, const Eigen::VectorXd& x, double T,
                     Eigen::VectorXd& out) {
    PyObject* fn = PyObject_GetAttr(api.module, api.s_ln_gamma);
    if (!fn) throw py::error_already_set();
    py::object f = py::reinterpret_steal<py::object>(fn);
    py::object r = options ? f(sp, to_numpy(x), T, options) : f(sp, to_numpy(x), T);
    DArray a = DArray::ensure(r);
    if (!a) throw core::TypeError("ionactivity.ln_gamma must return a vector of numbers");
    if (a.ndim() != 1 || a.shape(0) != x.size())
        throw core::ValueError("ionactivity.ln_gamma returned " + std::to_string(a.size()) +
                               " values for " + std::to_string(x.size()) + " species");
    out = Eigen::Map<const Eigen::VectorXd>(a.data(), a.shape(0));
}

// The method molecule_tau of sp is the package's own: not set on the instance, and the one its
// type has is Species.molecule_tau (a subclass that does not replace it counts).
bool own_molecule_tau(py::handle sp) {
    PyObject* dict = PyObject_GenericGetDict(sp.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();  // no instance dictionary: nothing can be set on the instance
    } else {
        const int has = PyDict_Contains(dict, api.s_molecule_tau);
        Py_DECREF(dict);
        if (has < 0) throw py::error_already_set();
        if (has) return false;
    }
    PyObject* m =
        PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(sp.ptr())), api.s_molecule_tau);
    if (!m) {
        PyErr_Clear();
        return false;
    }
    const bool own = m == api.own_tau;
    Py_DECREF(m);
    return own;
}

}  // namespace

void load_activity_api() {
    py::module_ ia = py::module_::import("velmora.ionactivity");
    api.module = py::object(ia).release().ptr();
    api.s_ln_gamma = interned("ln_gamma");
    api.s_core = interned("_core");
    api.s_molecule_tau = interned("molecule_tau");
    // The package's own functions, as velmora.ionactivity recorded them when it was loaded.
    py::tuple own = ia.attr("_OWN_FUNCTIONS");
    api.own_ln_gamma = py::object(own[0]).release().ptr();
    api.own_tau = py::object(own[1]).release().ptr();
    api.capi = static_cast<const enrtl::CApi*>(PyCapsule_Import(enrtl::kCApiCapsule, 0));
    if (!api.capi) throw py::error_already_set();
    if (api.capi->version != enrtl::kCApiVersion) {
        api.capi = nullptr;
        throw core::RuntimeError("velmora.ionactivity._enrtl has another C interface version");
    }
}

bool own_activity(py::handle sp, py::handle core) {
    PyObject* fn = PyObject_GetAttr(api.module, api.s_ln_gamma);
    if (!fn) throw py::error_already_set();
    const bool own = fn == api.own_ln_gamma;
    Py_DECREF(fn);
    if (!own || !own_molecule_tau(sp)) return false;
    py::object c = optional_attr(sp, api.s_core);
    return c && c.is(core);
}

py::object compiled_core(py::handle sp) { return optional_attr(sp, api.s_core); }

Activity::Activity(py::handle sp, py::handle options)
    : sp_(py::reinterpret_borrow<py::object>(sp)),
      options_(py::reinterpret_borrow<py::object>(options)) {
    PyObject* fn = PyObject_GetAttr(api.module, api.s_ln_gamma);
    if (!fn) throw py::error_already_set();
    const bool own = fn == api.own_ln_gamma;
    Py_DECREF(fn);
    if (!own) return;
    enrtl::Model* m = compiled_model(sp, core_);
    if (!m) return;
    auto opts = std::make_unique<enrtl::Options>();
    if (options && api.capi->parse_options(options.ptr(), opts.get()) < 0) {
        // An option the model refuses: the Python call raises its error where it is made.
        PyErr_Clear();
        return;
    }
    model_ = m;
    opts_ = opts.release();
}

Activity::~Activity() { delete opts_; }

bool Activity::native(Eigen::Index n) const { return model_ != nullptr && model_->n() == n; }

void Activity::ln_gamma(const Eigen::VectorXd& x, double T, Eigen::VectorXd& out) {
    if (model_ && x.size() == model_->n()) {
        out.resize(x.size());
        model_->ln_gamma(x, T, *opts_, out);
        return;
    }
    if (model_) {
        // A vector of another length: the Python call gives the model's own error (GIL needed;
        // the native path is only run without it when the lengths are known to agree).
        py::gil_scoped_acquire gil;
        python_ln_gamma(sp_, options_, x, T, out);
        return;
    }
    python_ln_gamma(sp_, options_, x, T, out);
}

MoleculeTau::MoleculeTau(py::handle sp) : sp_(py::reinterpret_borrow<py::object>(sp)) {
    if (own_molecule_tau(sp)) model_ = compiled_model(sp, core_);
}

void MoleculeTau::ask(double T) {
    if (!model_) sp_.attr(py::handle(api.s_molecule_tau))(T);
}

void MoleculeTau::assign(double T, const std::vector<int>& mol, core::MolecularNrtl& lc) {
    if (!model_) {
        py::object pair = sp_.attr(py::handle(api.s_molecule_tau))(T);
        molecular_term(pair, mol, lc);
        return;
    }
    const Eigen::Index n = model_->n();
    tau_.resize(n, n);
    alpha_.resize(n, n);
    model_->molecule_tau(T, tau_, alpha_);
    // column-major storage: element (i, j) at i + j n
    lc.assign(mol, core::MatrixView{tau_.data(), n, n, 1, n},
              core::MatrixView{alpha_.data(), n, n, 1, n});
}

}  // namespace brinequil::host
