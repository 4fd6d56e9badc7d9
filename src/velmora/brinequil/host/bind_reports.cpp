#include "host/electrolyte.hpp"

namespace brinequil::host {
void bind_reports(py::module_& m, ElectrolyteClass& cls) { (void)m; (void)cls; }
}  // namespace brinequil::host
