// The C interface that velmora.ionactivity._enrtl exports to other extension modules (brinequil)
// as the capsule `_enrtl._C_API`: it lets them call the compiled model of a species object
// directly, without a Python call, an array conversion or the GIL. The model's code is the same
// static library in both modules; only the object comes from _enrtl.
//
// The capsule holds a pointer to one CApi record that lives as long as the module. Both
// functions need the GIL; the model's own methods (model.hpp) do not.
#pragma once
#include <Python.h>

#include "model.hpp"

namespace enrtl {

inline constexpr const char* kCApiCapsule = "velmora.ionactivity._enrtl._C_API";
inline constexpr int kCApiVersion = 1;

struct CApi {
    int version;  // kCApiVersion of the module that made the record
    // The Model held by a Python object of exactly the type _enrtl.Model; nullptr otherwise (no
    // Python error is set). The pointer is valid while the object lives.
    Model* (*model_of)(PyObject* obj);
    // The options mapping (or None) as the model reads it: 0 on success; -1 with the Python
    // exception set that ln_gamma would raise for it.
    int (*parse_options)(PyObject* options, Options* out);
};

}  // namespace enrtl
