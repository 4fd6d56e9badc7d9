// Parameter reports and flowsheet attachment as the module's functions and the model's methods:
// the report cache (_cache_dir, report_key, parameter_report), models built from a report and
// their pickling (from_report, __reduce__, _rebuild), and attach. File work is in
// reports/cache.cpp; bind_reports.cpp binds these.
#include "host/reports.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "host/phase_adapter.hpp"
#include "host/report_calls.hpp"
#include "model/errors.hpp"
#include "reports/cache.hpp"

namespace brinequil::host {
namespace {

using adapt::truthy;

constexpr const char* kModule = "velmora.brinequil";
constexpr const char* kNoEngine =
    "the eNRTL parameters need the simulation engine once (not available here)";
constexpr const char* kNoSource = "an electrolyte liquid without its report cannot be pickled";

py::object this_module() { return py::module_::import(kModule); }

std::string cache_dir_bytes() {
    return core::report_cache_dir(calls::environ_bytes("LOCALAPPDATA"), calls::home_bytes());
}

py::list sorted_list(py::handle iterable) {
    return py::module_::import("builtins").attr("sorted")(iterable);
}

// The platform's default text encoding, by its codec name ("utf-8", "iso8859-1", ...).
std::string default_encoding() {
    py::object enc = py::module_::import("locale").attr("getpreferredencoding")(false);
    return py::module_::import("codecs").attr("lookup")(enc).attr("name").cast<std::string>();
}

// Writes a report's text in the default encoding to path (bytes), through a temporary file
// renamed over it. Nothing touches the disk before the text is known to encode.
void store_report(const std::string& path, py::handle text) {
    if (!py::isinstance<py::str>(text))
        throw py::type_error("write() argument must be str, not " +
                             std::string(Py_TYPE(text.ptr())->tp_name));
    const std::string bytes = text.attr("encode")(default_encoding()).cast<std::string>();
    py::gil_scoped_release unlocked;  // the flush to disk can take a while
    core::make_dirs(core::parent_path(path));
    core::write_file_atomic(path, bytes);
}

py::str read_report(const std::string& path) {
    const std::string enc = default_encoding();
    if (enc == "utf-8") {
        std::string text;
        {
            py::gil_scoped_release unlocked;  // plain file work: other threads may run
            text = core::read_text_file(path);
        }
        return py::str(text);
    }
    // Another locale: the host decodes, dropping what it cannot read.
    const std::string raw = core::read_bytes_file(path);
    py::object text = py::bytes(raw).attr("decode")(enc, "ignore");
    return py::str(core::universal_newlines(text.attr("encode")("utf-8").cast<std::string>()));
}

py::object rebuild(py::object source, py::object state) {
    auto parts = calls::unpack(source, 4);
    py::object cls = this_module().attr("Electrolyte");
    py::object el =
        cls.attr("from_report")(parts[0], parts[1], parts[2], py::arg("henry") = parts[3]);
    for (py::handle item : state.attr("items")()) {
        auto kv = calls::unpack(item, 2);
        py::setattr(el, kv[0], kv[1]);
    }
    return el;
}

// _rebuild is a plain builtin function of the module (not a pybind11 function), so that a
// pickle refers to it by module and name alone, as any extension-module function.
PyObject* rebuild_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "state", nullptr};
    PyObject *source = nullptr, *state = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_rebuild", const_cast<char**>(keywords),
                                     &source, &state))
        return nullptr;
    try {
        return rebuild(py::reinterpret_borrow<py::object>(source),
                       py::reinterpret_borrow<py::object>(state))
            .release()
            .ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace

void register_os_error() {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const core::OSError& e) {
            // OSError(errno, strerror, filename) picks the subclass (FileNotFoundError, ...).
            py::object filename = calls::path_text(e.filename);
            py::object exc = py::reinterpret_borrow<py::object>(PyExc_OSError)(
                e.err, py::str(std::strerror(e.err)), filename);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
        }
    });
}

py::str cache_dir() { return calls::path_text(cache_dir_bytes()); }

py::str report_key(py::object aliases, py::object chem, py::object henry) {
    py::object get = chem.attr("get");
    py::list items;
    items.append(sorted_list(aliases.attr("items")()));  // (name, alias) pairs by name, then alias
    for (const char* entry : {"species", "reactions", "kinds", "k"}) items.append(get(entry));
    items.append(henry.is_none() ? py::list() : sorted_list(henry));
    const std::string digest = calls::sha1_hexdigest(calls::canonical_json(items));
    return py::str(digest.substr(0, 16));
}

py::object parameter_report(py::object aliases, py::object cid, py::object chem, py::object henry,
                            py::object refresh) {
    py::object engine_available = calls::sibling("velmora.enginebridge", "engine_available");
    py::object input_header = calls::sibling("velmora.enginebridge", "input_header");
    py::object run_input = calls::sibling("velmora.enginebridge", "run_input");

    const std::string key = report_key(aliases, chem, henry).cast<std::string>();
    const std::string path = core::join_path(cache_dir_bytes(), key + ".rep");
    if (!truthy(refresh)) {
        // Open first, and take a missing file as no report: a report that another process
        // removes between a test and the open would otherwise be an error.
        try {
            return read_report(path);
        } catch (const core::OSError& e) {
            if (e.err != ENOENT && e.err != ENOTDIR) throw;
        }
    }

    if (!truthy(engine_available())) throw core::RuntimeError(kNoEngine);
    py::list names = henry.is_none() ? py::list() : py::list(henry);
    py::object h = names.empty() ? py::object(py::none()) : py::object(names);
    py::object header = input_header(aliases, "eNRTL", py::arg("henry") = h,
                                     py::arg("chemistry") = py::make_tuple(cid, chem));
    py::object text = header + py::str("\nPARAMETER-REPORT ALL\n");
    py::object report = run_input(text, py::arg("runid") = "elec")[py::int_(0)];

    store_report(path, report);
    return report;
}

void write_report(py::object path, py::object text) {
    store_report(py::module_::import("os").attr("fsencode")(path).cast<std::string>(), text);
}

py::object from_report(py::object cls, py::object text, py::object chem, py::object apparent,
                       py::object henry) {
    // The apparent components first, in the caller's order, then the other species of the
    // chemistry in its order.
    py::list names;
    for (py::handle a : py::iter(apparent)) names.append(a);
    for (py::handle s : py::iter(chem["species"])) {
        const int inside = PySequence_Contains(apparent.ptr(), s.ptr());
        if (inside < 0) throw py::error_already_set();
        if (!inside) names.append(s);
    }
    py::object species_from_report = calls::sibling("velmora.ionactivity", "species_from_report");
    auto read = calls::unpack(species_from_report(text, names, henry), 2);
    py::object sp = read[0], data = read[1];

    py::object reactions = chem["reactions"], kinds = chem["kinds"], k = chem["k"];
    py::object antoine = data["antoine"], henry_table = data["henry"], vc = data["vc"];
    py::object el = cls(sp, reactions, kinds, k, apparent, py::arg("antoine") = antoine,
                        py::arg("henry") = henry_table, py::arg("vc") = vc);
    el.attr("pure") = data["pure"];
    el.attr("source") = py::make_tuple(text, chem, py::list(apparent),
                                       henry.is_none() ? py::tuple() : py::tuple(henry));
    return el;
}

py::tuple reduce(py::object self) {
    py::object source = calls::attr_or(self, "source", py::none());
    if (source.is_none()) throw py::type_error(kNoSource);
    py::dict state;
    for (const char* name : {"key", "water", "options"})
        if (calls::has_attr(self, name)) state[name] = self.attr(name);
    return py::make_tuple(this_module().attr("_rebuild"), py::make_tuple(source, state));
}

PyMethodDef rebuild_def = {
    "_rebuild", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&rebuild_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "_rebuild(source, state)\n--\n\nA model from its pickled report and state."};

py::object attach(py::object fs) {
    py::object log = calls::sibling("velmora.notices", "log");
    py::object chemistries = calls::sibling("velmora.ionchem", "chemistries");

    py::object chems = chemistries(fs);
    if (!truthy(chems)) {
        fs.attr("pp").attr("elec") = py::none();
        return py::none();
    }
    py::list ids;
    for (py::handle c : py::iter(chems)) ids.append(c);
    py::object cid = ids[0];
    py::object chem = chems[cid];
    if (ids.size() > 1) {
        py::list others;
        for (std::size_t i = 1; i < ids.size(); ++i) others.append(py::str(ids[i]));
        log.attr("warning")("Chemistry %s used; %s left out (one chemistry per model)", cid,
                            py::str(", ").attr("join")(others));
    }

    py::object pp = fs.attr("pp");
    py::object meta = fs.attr("meta");
    py::dict aliases;
    py::object given = meta.attr("get")("aliases");
    if (truthy(given)) {
        aliases = py::dict(given);
    } else {
        for (py::handle c : py::iter(pp.attr("components"))) aliases[c] = c;
    }
    py::object comps = calls::attr_or(pp, "henry_comps", py::none());
    py::list henry = truthy(comps) ? py::list(comps) : py::list();

    py::object mod = this_module();
    py::object key = mod.attr("report_key")(aliases, chem, henry);
    py::object el = calls::attr_or(pp, "elec", py::none());
    if (!el.is_none() && calls::attr_or(el, "key", py::none()).equal(key)) return el;

    try {
        py::object report = mod.attr("parameter_report")(aliases, cid, chem, henry);
        el = mod.attr("Electrolyte")
                 .attr("from_report")(report, chem, py::list(pp.attr("components")),
                                      py::arg("henry") = henry);
    } catch (py::error_already_set& e) {
        if (!(e.matches(PyExc_RuntimeError) || e.matches(PyExc_ValueError) ||
              e.matches(PyExc_KeyError)))
            throw;
        log.attr("warning")(
            "Chemistry %s not used in the flashes (%s): the liquid is the apparent one of %s", cid,
            e.value(), pp.attr("method"));
        el = py::none();
    }
    if (!el.is_none()) {
        el.attr("key") = key;
        py::object water = py::str("WATER");
        for (auto item : aliases) {
            if (py::str(item.second).attr("upper")().equal(py::str("H2O"))) {
                water = py::reinterpret_borrow<py::object>(item.first);
                break;
            }
        }
        el.attr("water") = water;
        log.attr("info")("Chemistry %s: electrolyte liquid (eNRTL, %d true species) in the flashes",
                         cid, py::len(el.attr("names")));
    }
    pp.attr("elec") = el;
    return el;
}

}  // namespace brinequil::host
