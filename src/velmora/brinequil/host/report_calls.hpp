// Calls from the report subsystem into the interpreter: the host's JSON text and SHA-1 (which
// define the report key), the environment, file-system paths, and the sibling modules
// (looked up on their module at every call, so that a test can replace them).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "host/electrolyte.hpp"

namespace brinequil::host::calls {

// json.dumps(obj, sort_keys=True, default=str)
std::string canonical_json(py::handle obj);
// hashlib.sha1(text.encode("utf-8")).hexdigest()
std::string sha1_hexdigest(const std::string& utf8);

// os.environ.get(name) as file-system bytes; none when unset.
std::optional<std::string> environ_bytes(const char* name);
// os.path.expanduser("~") as file-system bytes.
std::string home_bytes();
// File-system bytes <-> the host's path text (os.fsencode / os.fsdecode).
py::str path_text(const std::string& bytes);
std::string path_bytes(py::handle text);

// getattr(obj, name, fallback) and hasattr(obj, name) as the host has them: only an
// AttributeError means "absent"; any other error of the lookup propagates.
py::object attr_or(py::handle obj, const char* name, py::handle fallback);
bool has_attr(py::handle obj, const char* name);

// `module.name`, looked up now.
py::object sibling(const char* module, const char* name);

// The items of an iterable as the host's unpacking assignment takes them: exactly n of them,
// with the host's TypeError/ValueError otherwise.
std::vector<py::object> unpack(py::handle obj, std::size_t n);

}  // namespace brinequil::host::calls
