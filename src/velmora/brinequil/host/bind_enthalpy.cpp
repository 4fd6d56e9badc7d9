#include "host/electrolyte.hpp"

namespace brinequil::host {
void bind_enthalpy(py::module_& m) { (void)m; }
}  // namespace brinequil::host
