// The model record built from its constructor's arguments (Electrolyte.__init__): the Python
// attributes as given or derived, and the C++ stoichiometry the speciation reads.
#include <string>
#include <vector>

#include "fugacity/lc_molecular.hpp"
#include "host/electrolyte.hpp"
#include "host/model_api.hpp"
#include "model/errors.hpp"

namespace brinequil::host {

Electrolyte make_electrolyte(py::object sp, py::object reactions, py::object kinds, py::object k,
                             py::object apparent, py::object antoine, py::object henry,
                             py::object vc, py::object options) {
    // An iterator (a generator, say) cannot be indexed by position: read it once into a list.
    if (PyIter_Check(reactions.ptr())) reactions = py::list(reactions);
    if (PyIter_Check(k.ptr())) k = py::list(k);

    Electrolyte el;
    el.initialised = true;
    el.sp = sp;
    el.names = sp.attr("names");

    // Name -> position; a later duplicate overwrites an earlier one.
    py::dict lookup;
    std::vector<py::object> species;
    for (py::handle s : el.names) {
        lookup[s] = py::int_(species.size());
        species.push_back(py::reinterpret_borrow<py::object>(s));
    }
    py::list app;
    for (py::handle a : apparent) app.append(a);
    py::list app_idx;
    for (py::handle a : app) app_idx.append(lookup[a]);  // KeyError naming the component
    el.apparent = app;
    el.app_idx = app_idx;

    // kinds is read once, so that any iterable (a generator too) will do.
    const py::str equil("EQUIL"), dissociation("DISS");
    std::vector<py::ssize_t> eq_pos;
    py::list diss;
    {
        py::ssize_t j = 0;
        for (py::handle kind : kinds) {
            if (kind.equal(equil))
                eq_pos.push_back(j);
            else if (kind.equal(dissociation))
                diss.append(reactions[py::int_(j)]);
            ++j;
        }
    }
    el.diss = diss;

    const auto ns = static_cast<Eigen::Index>(species.size());
    Eigen::MatrixXd nu(static_cast<Eigen::Index>(eq_pos.size()), ns);
    for (std::size_t r = 0; r < eq_pos.size(); ++r) {
        py::object rx = reactions[py::int_(eq_pos[r])];
        py::object get = rx.attr("get");
        for (Eigen::Index i = 0; i < ns; ++i)
            nu(static_cast<Eigen::Index>(r), i) = py::float_(get(species[i], 0.0));
    }
    py::list K;
    for (py::ssize_t j : eq_pos) K.append(k[py::int_(j)]);
    for (py::handle rec : K)
        if (rec.is_none())
            throw core::ValueError(
                "equilibrium constants missing (Gibbs energies are not used here yet)");
    el.K = K;

    auto st = std::make_shared<core::Stoichiometry>(core::make_stoichiometry(std::move(nu)));
    el.nu = to_numpy(st->nu);
    el.B = to_numpy(st->B);
    el.stoich = std::move(st);

    el.antoine = truthy(antoine) ? antoine : py::dict();
    el.henry = truthy(henry) ? henry : py::dict();
    el.vc = truthy(vc) ? vc : py::dict();
    el.pure = py::dict();

    py::dict opts;
    opts["lc_ref"] = "water-ratio";
    opts["fixed_Y"] = true;
    opts["henry_ref"] = "solvent";
    if (truthy(options))
        for (py::handle kv : options.attr("items")()) {
            py::tuple pair = py::reinterpret_borrow<py::tuple>(kv);
            opts[pair[0]] = pair[1];
        }
    el.options = opts;
    return el;
}

}  // namespace brinequil::host
