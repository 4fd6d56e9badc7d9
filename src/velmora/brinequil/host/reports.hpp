// Parameter reports and flowsheet attachment (reports.cpp): the module's functions and the
// model's methods that bind_reports.cpp binds.
#pragma once
#include "host/electrolyte.hpp"

namespace brinequil::host {

// core::OSError raised to Python as OSError(errno, strerror, filename) (its subclass by errno).
void register_os_error();

// The folder of the parameter-report cache (not created).
py::str cache_dir();
// The 16-hex-digit key of the report of these aliases, chemistry and Henry components.
py::str report_key(py::object aliases, py::object chem, py::object henry);
// The report: from the cache folder, or from one engine run that fills it.
// Writes a report's text to path (str or bytes) as the cache's own reports are written: the
// default encoding, a temporary file in the same folder renamed over path. OSError on failure.
void write_report(py::object path, py::object text);

py::object parameter_report(py::object aliases, py::object cid, py::object chem, py::object henry,
                            py::object refresh);

// Electrolyte.from_report (a classmethod: cls first), __reduce__, and the module's _rebuild
// (a plain builtin function, so that a pickle names it by module and name alone).
py::object from_report(py::object cls, py::object text, py::object chem, py::object apparent,
                       py::object henry);
py::tuple reduce(py::object self);
extern PyMethodDef rebuild_def;

// Gives the flowsheet's property package the electrolyte liquid of its first chemistry.
py::object attach(py::object fs);

}  // namespace brinequil::host
