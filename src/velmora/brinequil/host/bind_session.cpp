// Python interface of a caller's own warm start (Session in model_api.hpp): the record
// _WarmStart and Electrolyte._session, which runs one method of the model with it.
#include <utility>

#include "host/convert.hpp"
#include "host/electrolyte.hpp"
#include "host/model_api.hpp"

namespace brinequil::host {

namespace {

using Warm = Electrolyte::Warm;

// A record from None (a cold start), another _WarmStart (a copy) or what `_warm` takes from
// Python (a tuple (T, n / total, ln gamma), read when a speciation starts from it).
WarmStart make_start(py::object record) {
    WarmStart out;
    if (record.is_none()) {
        out.warm.reset(Warm::kKept);
    } else if (py::isinstance<WarmStart>(record)) {
        out.warm = record.cast<const WarmStart&>().warm;
    } else {
        out.warm.reset(Warm::kOutside);
        out.warm.py = std::move(record);
    }
    return out;
}

// The record as `_warm` reads it (None, or the tuple), without changing it.
py::object record_of(const WarmStart& s) {
    const Warm& rec = s.warm;
    if (rec.held == Warm::kOutside) return rec.py;
    if (!rec.has) return py::none();
    return py::make_tuple(rec.T, to_numpy(rec.w), to_numpy(rec.lng));
}

// self.<method>(*args, **kwargs) with the model's speciations on `warm` (None: a cold record of
// the call's own) and a fresh status; (result, status as _status gives it). `warm` holds the
// record the call left also where the call raises.
py::tuple session(py::handle self, WarmStart* warm, const py::str& method, const py::args& args,
                  const py::kwargs& kwargs) {
    Electrolyte& el = electrolyte(self);
    WarmStart cold;
    if (warm == nullptr) {
        cold.warm.reset(Warm::kKept);
        warm = &cold;
    }
    py::object f = py::getattr(self, method);
    py::object result;
    Electrolyte::Status status;
    {
        Session open(self, el, *warm);
        result = f(*args, **kwargs);
        status = open.status;
    }
    return py::make_tuple(std::move(result), status_dict(status));
}

}  // namespace

void bind_session(py::module_& m, ElectrolyteClass& cls) {
    py::class_<WarmStart>(m, "_WarmStart",
                          "A warm start of the speciation that its caller keeps and passes to "
                          "Electrolyte._session: the model's own `_warm` is not involved")
        .def(py::init(&make_start), py::arg("record") = py::none(),
             "From None (cold), another _WarmStart (a copy) or a record as `_warm` takes it "
             "(T, n / total, ln gamma)")
        .def(
            "reset",
            [](WarmStart& self, py::object record) {
                WarmStart made = make_start(std::move(record));
                std::swap(self.warm, made.warm);  // the old record released with `made`
            },
            py::arg("record") = py::none(),
            "Start again from `record` (None: cold; as the constructor takes it)")
        .def_property_readonly("record", &record_of,
                               "The record as `_warm` would read it: None or (T [K], n / total, "
                               "ln gamma)");
    cls.def("_session", &session, py::arg("warm").none(true), py::arg("method"),
            "(result, status) of self.<method>(*args, **kwargs) run with the warm start `warm` (a "
            "_WarmStart, updated in place also where the call raises; None: from a cold start) "
            "in place of the model's `_warm`, and a status of its own, fresh for the call (as "
            "_status gives it); the model's `_warm` and status are not touched");
}

}  // namespace brinequil::host
