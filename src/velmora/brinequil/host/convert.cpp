#include "host/convert.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "model/errors.hpp"

namespace brinequil::host {

using DArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

double to_double(py::handle obj) {
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

bool truthy(py::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

Eigen::VectorXd to_vector(py::handle obj, const char* what) {
    // the usual argument, a contiguous float64 vector, read in place (ensure() costs a NumPy
    // conversion call even where it returns the same array)
    if (py::array_t<double>::check_(obj)) {
        const auto v = py::reinterpret_borrow<py::array>(obj);
        if (v.ndim() == 1 && (v.flags() & py::array::c_style))
            return Eigen::Map<const Eigen::VectorXd>(static_cast<const double*>(v.data()),
                                                     v.shape(0));
    }
    DArray a = DArray::ensure(obj);
    if (!a) throw core::TypeError(std::string(what) + ": a vector of numbers is required");
    if (a.ndim() != 1)
        throw core::ValueError(std::string(what) + ": a one-dimensional vector is required");
    return Eigen::Map<const Eigen::VectorXd>(a.data(), a.shape(0));
}

Eigen::VectorXd to_vec(py::handle obj, const char* what) {
    if (py::isinstance<py::array>(obj) || py::isinstance<py::list>(obj) ||
        py::isinstance<py::tuple>(obj)) {
        DArray a = DArray::ensure(obj);
        if (a && a.ndim() == 1) return Eigen::Map<const Eigen::VectorXd>(a.data(), a.shape(0));
        PyErr_Clear();
    }
    if (!py::hasattr(obj, "__len__") || !py::hasattr(obj, "__getitem__"))
        throw py::type_error(std::string(what) + " must be a sequence of numbers");
    const auto len = static_cast<Eigen::Index>(py::len(obj));
    Eigen::VectorXd v(len);
    for (Eigen::Index i = 0; i < len; ++i) v[i] = to_double(obj[py::int_(i)]);
    return v;
}

namespace {

// A new C-contiguous float64 array from NumPy's own constructor: pybind11's array_t(shape) makes
// shape and stride vectors and a dtype object per call, as much again as the array itself.
py::array_t<double> new_array(int nd, const Py_intptr_t* dims, double*& data) {
    auto& np = py::detail::npy_api::get();
    PyObject* a = np.PyArray_NewFromDescr_(
        np.PyArray_Type_, np.PyArray_DescrFromType_(py::detail::npy_api::NPY_DOUBLE_), nd, dims,
        nullptr, nullptr, 0, nullptr);
    if (!a) throw py::error_already_set();
    data = reinterpret_cast<double*>(py::detail::array_proxy(a)->data);
    return py::reinterpret_steal<py::array_t<double>>(a);
}

}  // namespace

py::array_t<double> to_numpy(const Eigen::VectorXd& v) {
    const Py_intptr_t dims[1] = {static_cast<Py_intptr_t>(v.size())};
    double* data = nullptr;
    py::array_t<double> a = new_array(1, dims, data);
    if (v.size() > 0) std::memcpy(data, v.data(), sizeof(double) * v.size());
    return a;
}

py::array_t<double> to_numpy(const Eigen::MatrixXd& m) {
    const Py_intptr_t dims[2] = {static_cast<Py_intptr_t>(m.rows()),
                                 static_cast<Py_intptr_t>(m.cols())};
    double* data = nullptr;
    py::array_t<double> a = new_array(2, dims, data);
    // row by row (C order) from Eigen's columns
    for (Eigen::Index i = 0; i < m.rows(); ++i)
        for (Eigen::Index j = 0; j < m.cols(); ++j) data[i * m.cols() + j] = m(i, j);
    return a;
}

}  // namespace brinequil::host
