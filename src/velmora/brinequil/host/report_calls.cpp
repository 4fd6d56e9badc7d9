#include "host/report_calls.hpp"

namespace brinequil::host::calls {

std::string canonical_json(py::handle obj) {
    py::object dumps = py::module_::import("json").attr("dumps");
    py::object builtin_str = py::module_::import("builtins").attr("str");
    return dumps(obj, py::arg("sort_keys") = true, py::arg("default") = builtin_str)
        .cast<std::string>();
}

std::string sha1_hexdigest(const std::string& utf8) {
    py::object sha1 = py::module_::import("hashlib").attr("sha1");
    return sha1(py::bytes(utf8)).attr("hexdigest")().cast<std::string>();
}

std::optional<std::string> environ_bytes(const char* name) {
    py::object os = py::module_::import("os");
    py::object value = os.attr("environ").attr("get")(name);
    if (value.is_none()) return std::nullopt;
    return os.attr("fsencode")(value).cast<std::string>();
}

std::string home_bytes() {
    py::object os = py::module_::import("os");
    py::object home = os.attr("path").attr("expanduser")("~");
    return os.attr("fsencode")(home).cast<std::string>();
}

py::str path_text(const std::string& bytes) {
    return py::module_::import("os").attr("fsdecode")(py::bytes(bytes));
}

std::string path_bytes(py::handle text) {
    return py::module_::import("os").attr("fsencode")(text).cast<std::string>();
}

py::object attr_or(py::handle obj, const char* name, py::handle fallback) {
    if (PyObject* value = PyObject_GetAttrString(obj.ptr(), name))
        return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::reinterpret_borrow<py::object>(fallback);
}

bool has_attr(py::handle obj, const char* name) {
    if (PyObject* value = PyObject_GetAttrString(obj.ptr(), name)) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

py::object sibling(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}

std::vector<py::object> unpack(py::handle obj, std::size_t n) {
    PyObject* it = PyObject_GetIter(obj.ptr());
    if (it == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        throw py::type_error("cannot unpack non-iterable " +
                             std::string(Py_TYPE(obj.ptr())->tp_name) + " object");
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    std::vector<py::object> items;
    // One item more than wanted tells "too many" from "exactly n".
    while (items.size() <= n) {
        PyObject* item = PyIter_Next(iter.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        items.push_back(py::reinterpret_steal<py::object>(item));
    }
    if (items.size() > n)
        throw py::value_error("too many values to unpack (expected " + std::to_string(n) + ")");
    if (items.size() < n)
        throw py::value_error("not enough values to unpack (expected " + std::to_string(n) +
                              ", got " + std::to_string(items.size()) + ")");
    return items;
}

}  // namespace brinequil::host::calls
