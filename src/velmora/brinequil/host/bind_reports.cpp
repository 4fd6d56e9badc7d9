// Python interface of the parameter reports and the flowsheet attachment (the operations are in
// reports.cpp).
#include "host/electrolyte.hpp"
#include "host/reports.hpp"

namespace brinequil::host {

void bind_reports(py::module_& m, ElectrolyteClass& cls) {
    register_os_error();

    py::cpp_function from_report_fn(
        &from_report, py::name("from_report"), py::scope(cls), py::arg("cls"), py::arg("text"),
        py::arg("chem"), py::arg("apparent"), py::arg("henry") = py::tuple(),
        "A model of this class from a parameter report and a chemistry.");
    cls.attr("from_report") =
        py::reinterpret_steal<py::object>(PyClassMethod_New(from_report_fn.ptr()));
    cls.def("__reduce__", &reduce);
    py::object rebuild_fn = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&rebuild_def, m.ptr(), m.attr("__name__").ptr()));
    if (!rebuild_fn) throw py::error_already_set();
    m.attr("_rebuild") = rebuild_fn;

    m.def("_cache_dir", &cache_dir, "The folder of the parameter-report cache (not created).");
    m.def("_write_report", &write_report, py::arg("path"), py::arg("text"),
          "Writes a report's text to path through a temporary file renamed over it.");
    m.def("report_key", &report_key, py::arg("aliases"), py::arg("chem"), py::arg("henry"),
          "The 16-hex-digit key of the parameter report of these aliases, chemistry and Henry "
          "components.");
    m.def(
        "parameter_report", &parameter_report, py::arg("aliases"), py::arg("cid"), py::arg("chem"),
        py::arg("henry"), py::arg("refresh") = false,
        "The eNRTL parameter report: from the cache folder, or from one engine run that fills it.");
    m.def("attach", &attach, py::arg("fs"),
          "Gives the flowsheet's property package the electrolyte liquid of its first chemistry.");
}

}  // namespace brinequil::host
