// Entry point of velmora.brinequil (PyInit_brinequil).
#include "host/activity.hpp"
#include "host/electrolyte.hpp"
#include "model/errors.hpp"

namespace brinequil::host {
namespace {

// Every core error reaches Python as the exception the equivalent Python code raises.
void register_translators() {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const core::ValueError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const core::ZeroDivisionError& e) {
            PyErr_SetString(PyExc_ZeroDivisionError, e.what());
        } catch (const core::KeyError& e) {
            py::set_error(PyExc_KeyError, py::str(e.what()));
        } catch (const core::IndexError& e) {
            PyErr_SetString(PyExc_IndexError, e.what());
        } catch (const core::TypeError& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        } catch (const core::RuntimeError& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        } catch (const core::LinAlgError& e) {
            py::object err = py::module_::import("numpy.linalg").attr("LinAlgError");
            PyErr_SetString(err.ptr(), e.what());
        }
    });
}

}  // namespace
}  // namespace brinequil::host

PYBIND11_MODULE(brinequil, m) {
    using namespace brinequil::host;
    m.doc() = "Chemical and phase equilibrium of electrolyte liquids (apparent-component eNRTL)";
    // The activity model is the one sibling module needed from the start; its compiled model is
    // reached through the C interface of velmora.ionactivity._enrtl.
    load_activity_api();
    register_translators();

    ElectrolyteClass cls(m, "Electrolyte", py::dynamic_attr(),
                         "The true species, the chemistry and the parameters of the liquid");
    bind_model(m, cls);
    bind_reports(m, cls);
    bind_equilibrium(m, cls);
    bind_enthalpy(m);
    bind_solids(m, cls);
    bind_front(m, cls);
    bind_derivatives(m);
    bind_session(m, cls);
}
