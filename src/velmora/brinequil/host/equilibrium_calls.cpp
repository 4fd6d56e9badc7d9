// The operations of the liquid fugacities (psat, fugacities, bubble) and of the phase
// equilibrium (kvalues, flash_tp, _flash_newton, bubble_t, flash) on the model record, the
// property package and the sibling modules; bind_equilibrium.cpp binds them. The algorithms are
// in fugacity/ and equilibrium/. Methods that other methods call go through `self`, so a Python
// subclass or an instance attribute that replaces one is honoured.
#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>

#include "equilibrium/bubble_search.hpp"
#include "equilibrium/flash.hpp"
#include "equilibrium/flash_source.hpp"
#include "equilibrium/solvers.hpp"
#include "equilibrium/split_newton.hpp"
#include "equilibrium/split_trail.hpp"
#include "fugacity/liquid_fugacity.hpp"
#include "host/electrolyte.hpp"
#include "host/equilibrium_calls.hpp"
#include "host/front_check.hpp"
#include "host/model_api.hpp"
#include "host/phase_adapter.hpp"
#include "model/errors.hpp"

namespace brinequil::host {
namespace {

using adapt::ideal_vapor;
using adapt::phasekit;
using adapt::to_double;
using adapt::to_vec;
using adapt::truthy;

// ---- liquid fugacities -----------------------------------------------------------------------

struct Fugacities {
    core::FugacityMap f;
    Eigen::VectorXd n, lng;
};

std::optional<core::Antoine> antoine_of(const Electrolyte& el, const std::string& name) {
    py::str key(name);
    if (!el.antoine.contains(key)) return std::nullopt;
    return antoine_coeffs(el.antoine[key]);
}

// The fugacities of the true liquid (n, lng) of the model at T, as `fugacities` takes them from
// its speciation.
Fugacities liquid_fugacities_of(const Electrolyte& el, Eigen::VectorXd n, Eigen::VectorXd lng,
                                double T) {
    const SpeciesSets sets = species_sets(el, kSpZ | kSpHenry | kSpNames);
    std::vector<char> is_henry(sets.names.size(), 0);
    for (int h : sets.henry) is_henry[static_cast<std::size_t>(h)] = 1;
    core::LiquidFugacityHooks hooks;
    hooks.ln_h_mix = [&](Eigen::Index k, const Eigen::VectorXd& x) {
        return ln_h_mix(el, sets.names[static_cast<std::size_t>(k)], x, T);
    };
    hooks.antoine = [&](const std::string& name) { return antoine_of(el, name); };
    Fugacities out;
    core::liquid_fugacities(n, lng, sets.names, sets.z, is_henry, T, hooks, out.f);
    out.n = std::move(n);
    out.lng = std::move(lng);
    return out;
}

template <class Apparent>
Fugacities fugacities_impl(py::handle self, const Apparent& n_app, double T) {
    Electrolyte& el = electrolyte(self);
    Speciation s = true_amounts(self, n_app, T);
    return liquid_fugacities_of(el, std::move(s.n), std::move(s.lng), T);
}

py::dict fugacity_dict(const core::FugacityMap& f) {
    py::dict d;
    for (const auto& [name, v] : f) d[py::str(name)] = v;
    return d;
}

// fugacities of the apparent liquid that pairs the component names with the first entries of
// xa, on the components; through self.fugacities when that is replaced.
core::ComponentFugacities component_fugacities(py::handle self,
                                               const std::vector<std::string>& comps,
                                               const Eigen::VectorXd& xa, double T) {
    const std::size_t m = std::min(comps.size(), static_cast<std::size_t>(xa.size()));
    core::ComponentFugacities out;
    out.has.assign(comps.size(), 0);
    out.f = Eigen::VectorXd::Zero(static_cast<Eigen::Index>(comps.size()));
    if (py::object ov = python_override(self, "fugacities")) {
        py::dict app;
        for (std::size_t k = 0; k < m; ++k)
            app[py::str(comps[k])] = xa[static_cast<Eigen::Index>(k)];
        py::tuple r = ov(app, T);
        py::object f = r[0];
        for (std::size_t k = 0; k < comps.size(); ++k) {
            py::str key(comps[k]);
            if (f.contains(key)) {
                out.has[k] = 1;
                out.f[static_cast<Eigen::Index>(k)] = to_double(f[key]);
            }
        }
        out.n = to_vec(r[1], "true amounts");
        return out;
    }
    Amounts app;
    app.reserve(m);
    for (std::size_t k = 0; k < m; ++k)
        app.emplace_back(comps[k], xa[static_cast<Eigen::Index>(k)]);
    Fugacities fu = fugacities_impl(self, app, T);
    core::on_components(comps, fu.f, out.has, out.f);
    out.n = std::move(fu.n);
    return out;
}

// ---- K-values, split, TP flash ---------------------------------------------------------------

// Liquid fugacities on the components: the flash's native liquid when it applies, else the
// Python path (self.fugacities and the model's mappings read at each call).
core::ComponentFugacities liquid_on_components(py::handle self, FlashLiquid& liquid,
                                               const std::vector<std::string>& comps,
                                               const Eigen::VectorXd& xa, double T) {
    core::ComponentFugacities f;
    if (liquid.fugacities(xa, f)) return f;
    return component_fugacities(self, comps, xa, T);
}

// The package's vapor model as an operation finds it when it starts: phasekit.phi_vapor, and
// whether that is the package's own ideal gas.
struct Vapor {
    explicit Vapor(py::handle pp) : phi(phasekit("phi_vapor")), ideal(ideal_vapor(phi, pp)) {}
    py::object phi;
    bool ideal;
};

// K-values of the components `comps` (pp.components as read by the caller); `liquid` (may be
// null) is the flash's liquid at this T and these components. The vapor y is the Python object
// `y`, or when that is null the vector `yv` (made into an array only for a vapor model that is
// called).
core::KValues kvalues_impl(py::handle self, py::handle pp, const std::vector<std::string>& comps,
                           const Vapor& vapor, const Eigen::VectorXd& xa, py::handle y, double T,
                           double P, FlashLiquid* liquid = nullptr,
                           const Eigen::VectorXd* yv = nullptr) {
    const auto nc = static_cast<Eigen::Index>(comps.size());
    std::optional<FlashLiquid> own;
    if (liquid == nullptr) liquid = &own.emplace(self, comps, T);
    return core::kvalues(
        xa, P, nc,
        [&](const Eigen::VectorXd& x) { return liquid_on_components(self, *liquid, comps, x, T); },
        [&]() -> Eigen::VectorXd {
            if (vapor.ideal) return Eigen::VectorXd::Zero(nc);
            return to_vec(y ? vapor.phi(pp, y, T, P) : vapor.phi(pp, to_numpy(*yv), T, P),
                          "ln phi");
        });
}

// self.kvalues(pp, x, y, T, P), the C++ one unless replaced; comps and vapor as read when the
// calling operation started.
core::KValues kvalues_call(py::handle self, py::handle pp, const std::vector<std::string>& comps,
                           const Vapor& vapor, const Eigen::VectorXd& x, const Eigen::VectorXd& y,
                           double T, double P, FlashLiquid* liquid = nullptr) {
    if (py::object ov = python_override(self, "kvalues")) {
        py::tuple r = ov(pp, to_numpy(x), to_numpy(y), T, P);
        return {to_vec(r[0], "K"), to_vec(r[1], "true amounts")};
    }
    return kvalues_impl(self, pp, comps, vapor, x, py::handle(), T, P, liquid, &y);
}

// The volatile components of a split of the feed z: Antoine data, or a Henry component of the
// model (looked up only without Antoine data), and z > 0.
std::vector<char> volatile_components(const Electrolyte& el, const std::vector<std::string>& comps,
                                      const Eigen::VectorXd& z) {
    const SpeciesSets sets = species_sets(el, kSpHenry | kSpNames);
    return core::volatile_components(comps, sets.names, sets.henry, z, [&](std::size_t k) {
        return el.antoine.contains(py::str(comps[k]));
    });
}

// The hooks of a split at T, P: liquid fugacities of `liquid`, ln phi of the package's vapor
// model (phi_vapor as found when made; nothing is called for the package's own ideal gas).
class SplitCall {
public:
    SplitCall(py::handle self, py::handle pp, const Vapor& vapor,
              const std::vector<std::string>& comps, double T, double P, FlashLiquid& liquid) {
        const auto nc = static_cast<Eigen::Index>(comps.size());
        hooks.fug = [self, &comps, T, &liquid](const Eigen::VectorXd& xl) {
            return liquid_on_components(self, liquid, comps, xl, T);
        };
        hooks.ln_phi = [&vapor, pp, nc, T, P](const Eigen::VectorXd& y) -> Eigen::VectorXd {
            if (vapor.ideal) return Eigen::VectorXd::Zero(nc);
            return to_vec(vapor.phi(pp, to_numpy(y), T, P), "ln phi");
        };
        hooks.name = [&comps](Eigen::Index k) { return comps[static_cast<std::size_t>(k)]; };
    }
    SplitCall(const SplitCall&) = delete;
    SplitCall& operator=(const SplitCall&) = delete;

    core::SplitHooks hooks;
};

// The Newton split of z at T, P from v0, its MINPACK status kept in the model's record.
core::SplitResult split_recorded(py::handle self, py::handle pp, Electrolyte& el,
                                 const Vapor& vapor, const std::vector<std::string>& comps,
                                 double T, double P, FlashLiquid& liquid, const Eigen::VectorXd& z,
                                 const Eigen::VectorXd& v0, const std::vector<char>& vol) {
    SplitCall call(self, pp, vapor, comps, T, P, liquid);
    core::SplitResult s = core::flash_newton(z, P, v0, vol, call.hooks);
    std::lock_guard<std::mutex> held(el.lock.m);
    status_of(el).split_status = s.status;
    return s;
}

core::SplitResult flash_newton_impl(py::handle self, py::handle pp, const Eigen::VectorXd& z,
                                    double T, double P, const Eigen::VectorXd& v0,
                                    FlashLiquid* liquid = nullptr) {
    Electrolyte& el = electrolyte(self);
    const Vapor vapor(pp);
    const std::vector<std::string> comps = adapt::to_names(pp.attr("components"));
    const std::vector<char> vol = volatile_components(el, comps, z);
    std::optional<FlashLiquid> own;
    if (liquid == nullptr) liquid = &own.emplace(self, comps, T);
    return split_recorded(self, pp, el, vapor, comps, T, P, *liquid, z, v0, vol);
}

core::SplitResult flash_newton_call(py::handle self, py::handle pp, const Eigen::VectorXd& z,
                                    double T, double P, const Eigen::VectorXd& v0, double tol,
                                    FlashLiquid* liquid) {
    if (py::object ov = python_override(self, "_flash_newton")) {
        py::tuple r = ov(pp, to_numpy(z), T, P, to_numpy(v0), tol);
        core::SplitResult s;
        s.beta = to_double(r[0]);
        s.x = to_vec(r[1], "x");
        s.y = to_vec(r[2], "y");
        s.n = to_vec(r[3], "true amounts");
        s.nfev = py::cast<long>(r[4]);
        return s;
    }
    return flash_newton_impl(self, pp, z, T, P, v0, liquid);
}

// One TP flash at T, P: the package's functions looked up once at its start, the model's
// tables at T read once for all its K-value and split evaluations, and the core's hooks; for a
// temperature solve, the flash at one of its temperatures.
class TPFlash : public core::TrailFlash, public core::FlashSource {
public:
    TPFlash(py::handle self, py::handle pp, const std::vector<std::string>& comps, double T,
            double P, double tol)
        : core::FlashSource(static_cast<Eigen::Index>(comps.size()), T, P),
          self_(self),
          pp_(pp),
          comps_(comps),
          T_(T),
          P_(P),
          tol_(tol),
          el_(electrolyte(self)),
          rr_(phasekit("_k_rachford_rice")),
          h_vap_(phasekit("enthalpy_vapor")),
          s_vap_(phasekit("entropy_vapor")),
          s_liq_(phasekit("entropy_liquid")),
          vapor(pp),
          liquid(self, comps, T) {
        own_rr_ = adapt::phasekit_own(rr_, "_k_rachford_rice");
        hooks = make_hooks();
    }
    TPFlash(const TPFlash&) = delete;
    TPFlash& operator=(const TPFlash&) = delete;

    // The core's TP flash of z; the status record gets its substitution error.
    // When the model's kvalues and _flash_newton, its liquid (FlashLiquid::fix), the vapor
    // model (the ideal gas), Rachford-Rice and the enthalpy and entropy functions are all the
    // package's own, looked up here, the whole flash runs without the GIL.
    core::TPFlashResult run(const Eigen::VectorXd& z, double tol) {
        const auto nc = static_cast<Eigen::Index>(comps_.size());
        core::TPFlashResult r;
        if (all_own()) {
            struct Unfix {
                TPFlash& f;
                ~Unfix() {
                    f.nogil_ = false;
                    f.liquid.unfix();
                }
            } unfix{*this};
            nogil_ = true;
            py::gil_scoped_release released;
            r = core::flash_tp(z, nc, tol, hooks);
        } else {
            r = core::flash_tp(z, nc, tol, hooks);
        }
        if (r.substituted) {
            std::lock_guard<std::mutex> held(el_.lock.m);
            status_of(el_).substitution_err = r.err;
        }
        return r;
    }

    // ---- the flash's functions (core::FlashSource). With nogil_ (run(), every function the
    // package's own) they run without the GIL and take it only where they call Python.
    core::KValues kvalues(const Eigen::VectorXd& x, const Eigen::VectorXd& y) override {
        if (nogil_)
            return kvalues_impl(self_, pp_, comps_, vapor, x, py::handle(), T_, P_, &liquid, &y);
        return kvalues_call(self_, pp_, comps_, vapor, x, y, T_, P_, &liquid);
    }
    core::SplitResult newton(const Eigen::VectorXd& zz, const Eigen::VectorXd& v0) override {
        core::SplitResult s = nogil_ ? own_split(zz, v0)
                                     : flash_newton_call(self_, pp_, zz, T_, P_, v0, tol_, &liquid);
        split.emplace(s);
        return s;
    }
    Eigen::VectorXd true_amounts(const Eigen::VectorXd& x) override {
        Amounts app;
        for (std::size_t k = 0; k < comps_.size(); ++k)
            app.emplace_back(comps_[k], x[static_cast<Eigen::Index>(k)]);
        const Gil gil(nogil_);
        return host::true_amounts(self_, app, T_).n;
    }
    double liquid_enthalpy(const Eigen::VectorXd& n) override {
        const Gil gil(nogil_);
        return adapt::liquid_enthalpy(self_, pp_, to_numpy(n), T_, py::float_(P_), el_.pure,
                                      props());
    }
    bool own_rachford_rice() const override { return own_rr_; }
    double package_rachford_rice(const Eigen::VectorXd& zz, const Eigen::VectorXd& K) override {
        return to_double(rr_(to_numpy(zz), to_numpy(K)));
    }
    double package_enthalpy_vapor(const Eigen::VectorXd& y) override {
        const Gil gil(nogil_);
        return to_double(h_vap_(pp_, T_, to_numpy(y), P_));
    }
    double package_entropy_vapor(const Eigen::VectorXd& y) override {
        const Gil gil(nogil_);
        return to_double(s_vap_(pp_, T_, to_numpy(y), P_));
    }
    double package_entropy_liquid(const Eigen::VectorXd& x) override {
        const Gil gil(nogil_);
        return to_double(s_liq_(pp_, T_, to_numpy(x), P_));
    }

    // ---- as a temperature solve's trail asks for it
    const core::TPFlashHooks& flash_hooks() override { return hooks; }
    const core::SplitHooks& split_hooks() override {
        if (!split_call_) split_call_.emplace(self_, pp_, vapor, comps_, T_, P_, liquid);
        return split_call_->hooks;
    }
    core::TPFlashResult run(const Eigen::VectorXd& z) override { return run(z, core::kFlashTol); }
    const core::SplitResult* newton_split() const override { return split ? &*split : nullptr; }
    std::vector<char> volatiles(const Eigen::VectorXd& z) override {
        return volatile_components(electrolyte(self_), comps_, z);
    }
    bool recoverable(const std::exception& e) const override {
        // a Python error that is an Exception (not KeyboardInterrupt and the like), or C++'s own
        if (const auto* py_err = dynamic_cast<const py::error_already_set*>(&e))
            return py_err->matches(PyExc_Exception);
        return true;
    }

    // The result mapping of flash_tp.
    py::dict result(const core::TPFlashResult& r) const {
        py::dict out;
        out["beta"] = r.beta;
        out["x"] = to_numpy(r.x);
        out["y"] = to_numpy(r.y);
        out["H"] = r.H;
        out["S"] = r.S;
        out["iterations"] = r.iterations;
        out["T"] = T_;
        out["P"] = P_;
        py::dict tr;
        Eigen::Index i = 0;
        for (py::handle name : el_.names) {
            if (i >= r.n.size()) break;
            tr[name] = r.n[i++];
        }
        out["true"] = tr;
        return out;
    }

private:
    // The GIL taken for a hook that calls Python while the flash runs without it.
    struct Gil {
        explicit Gil(bool take) {
            if (take) gil.emplace();
        }
        std::optional<py::gil_scoped_acquire> gil;
    };

    bool all_own() {
        if (!vapor.ideal || !own_rr_ || python_override(self_, "kvalues") ||
            python_override(self_, "_flash_newton") || !props())
            return false;
        return liquid.fix();
    }

    // _flash_newton of the package (flash_newton_impl) with the flash's components and vapor
    // model, run without the GIL.
    core::SplitResult own_split(const Eigen::VectorXd& zz, const Eigen::VectorXd& v0) {
        std::vector<char> vol;
        {
            py::gil_scoped_acquire gil;
            vol = volatile_components(el_, comps_, zz);
        }
        return split_recorded(self_, pp_, el_, vapor, comps_, T_, P_, liquid, zz, v0, vol);
    }

    // pp's data for the C++ enthalpy and entropy, read at the first use in the flash, when the
    // three functions found at its start are the package's own; null otherwise.
    const core::PackageData* props() override {
        if (!props_read_) {
            props_read_ = true;
            if (adapt::phasekit_own(h_vap_, "enthalpy_vapor") &&
                adapt::phasekit_own(s_vap_, "entropy_vapor") &&
                adapt::phasekit_own(s_liq_, "entropy_liquid"))
                props_ = adapt::package_data(pp_, comps_);
        }
        return props_ ? &*props_ : nullptr;
    }

    py::handle self_, pp_;
    const std::vector<std::string>& comps_;
    double T_, P_, tol_;
    Electrolyte& el_;
    py::object rr_, h_vap_, s_vap_, s_liq_;
    bool own_rr_ = false;
    bool nogil_ = false;
    bool props_read_ = false;
    std::optional<core::PackageData> props_;

public:
    const Vapor vapor;  // the vapor model of the K-values (each looks it up when called alone)
    FlashLiquid liquid;
    core::TPFlashHooks hooks;
    std::optional<core::SplitResult> split;  // the Newton split of the flash, when it ran

private:
    std::optional<SplitCall> split_call_;  // the hooks of a split from a trail's start
};

py::dict flash_tp_impl(py::handle self, py::handle pp, py::handle z_obj, py::handle T_obj,
                       py::handle P_obj, double tol) {
    const double T = to_double(T_obj);
    const double P = to_double(P_obj);
    const Eigen::VectorXd z = to_vec(z_obj, "z");
    const std::vector<std::string> comps = adapt::to_names(pp.attr("components"));
    TPFlash flash(self, pp, comps, T, P, tol);
    return flash.result(flash.run(z, tol));
}

py::object flash_tp_call(py::handle self, py::handle pp, py::handle z, py::handle T, py::handle P) {
    if (py::object ov = python_override(self, "flash_tp")) return ov(pp, z, T, P);
    return flash_tp_impl(self, pp, z, T, P, core::kFlashTol);
}

}  // namespace

// The front door's TP flash and the check of its answer in one call: flash_tp(pp, z, T, P),
// then, on the flash's own tables, the liquid of its answer as fugacities and _status give it
// (from the warm record) and the residuals of velmora.checks (see _front_flash_check). `box`
// gets, as they are known, the flash's result and its split status (MINPACK's, as _status
// gives it), then True when the check's speciation starts, so that the caller knows where an
// error was raised, then whether the stability test of flashes has nothing to test, the split's
// |d beta / d ln K| (core::beta_sensitivity, for flashes.beta_spread) and last whether the
// liquid passes checks.true_water (`self_ions`: SystemInfo.self_ions_bound; see water_holds).
// Returns the check as _front_flash_check does, or None: with `box` empty where flash_tp or _status
// is replaced (the caller calls them), with the flash's result in it where the check is left to the
// caller (a method it stands for or the vapor model replaced, another list of components, a liquid
// the aqueous check would look at closer, or a flash that did not use its tables). `water`: kg of
// water per mol of H2O, the largest molality of the aqueous check, the molar mass of water [g/mol],
// the molality above which a split's liquid has its stability tested, and the solvent components.
py::object front_tp_flash(py::handle self, py::handle pp, py::handle z_obj, double T, double P,
                          py::handle components, double tol, py::handle limits, py::handle water,
                          py::list box, py::handle self_ions) {
    for (const char* name : {"flash_tp", "_status", "_front_flash_check"})
        if (python_override(self, name)) return py::none();
    Electrolyte& el = electrolyte(self);
    const Eigen::VectorXd z = to_vec(z_obj, "z");
    const py::object pp_comps = pp.attr("components");
    const std::vector<std::string> comps = adapt::to_names(pp_comps);
    TPFlash flash(self, pp, comps, T, P, core::kFlashTol);
    const core::TPFlashResult r = flash.run(z, core::kFlashTol);
    box.append(flash.result(r));
    std::optional<int> split;
    {
        std::lock_guard<std::mutex> held(el.lock.m);
        split = status_of(el).split_status;
    }
    box.append(split ? py::object(py::int_(*split)) : py::object(py::none()));

    // (fugacities, true_amounts, lnK and henry_ref: FlashLiquid::answer looks)
    if (python_override(self, "_residual")) return py::none();
    if (!flash.vapor.ideal) return py::none();
    const int same = PyObject_RichCompareBool(components.ptr(), pp_comps.ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    const auto nc = static_cast<Eigen::Index>(comps.size());
    if (!same || z.size() != nc || r.x.size() != nc || r.y.size() != nc) return py::none();
    double xw = 0.0;
    py::tuple w = py::reinterpret_borrow<py::tuple>(water);
    if (r.beta < 1.0) {
        // checks.solutes passes: water, and no entry above M_MAX mol/kg of it; a liquid it may
        // refuse is left to it, before anything is speciated
        const std::optional<double> xw_ok = core::solutes_water(
            comps, r.x, [&] { return std::pair{to_double(w[0]), to_double(w[1])}; });
        if (!xw_ok) return py::none();
        xw = *xw_ok;
    }
    // whether the stability test of a split's liquid (flashes._stable_water) has nothing to
    // test: no solute beyond its molality (water's molar mass [g/mol], the molality, solvents)
    bool stable = true;
    if (0.0 < r.beta && r.beta < 1.0) {
        const double molality = to_double(w[3]);
        stable =
            core::stable_liquid(comps, r.x, xw, to_double(w[2]), molality, [&](Eigen::Index k) {
                const int solvent = PySet_Contains(w[4].ptr(), PyList_GET_ITEM(pp_comps.ptr(), k));
                if (solvent < 0) throw py::error_already_set();
                return solvent == 1;
            });
    }
    py::tuple t = py::reinterpret_borrow<py::tuple>(limits);
    const Limits c{to_double(t[0]), to_double(t[1]), to_double(t[2])};

    box.append(py::bool_(true));
    FlashLiquid::Answer a;
    if (!flash.liquid.answer(r.x, a)) return py::none();
    const core::FlashLiquidTables& tables = flash.liquid.tables();
    py::object out = flash_check_tuple(
        el, {&comps, &z, r.beta, &r.x, &r.y, P}, a.f, a.n, a.lng, a.n0, tables.lnK, a.converged,
        tables.pos, tol, c,
        [&](const Eigen::VectorXd& xt, Eigen::VectorXd& ref) { flash.liquid.henry_ref(xt, ref); });
    box.append(py::bool_(stable));
    box.append(py::float_(core::beta_sensitivity(z, r.x, r.y)));  // flashes.beta_spread's factor
    box.append(water_holds(self_ions, a.n, a.lng));
    return out;
}

namespace {

// The TP flashes of one temperature solve (flash at a given H, S or vapor fraction) on the
// core's trail of warm splits (equilibrium/split_trail). With flash_tp, kvalues or _flash_newton
// replaced on the model, every evaluation is self.flash_tp.
class FlashTrail {
public:
    FlashTrail(py::handle self, py::handle pp, const Eigen::VectorXd& z, py::handle z_obj,
               py::handle P)
        : self_(self), pp_(pp), z_(z), z_obj_(z_obj), P_obj_(P) {}

    py::object value(py::handle T_obj, core::TrailEntry key) {
        if (python_override(self_, "flash_tp") || python_override(self_, "kvalues") ||
            python_override(self_, "_flash_newton"))
            return entry(flash_tp_call(self_, pp_, z_obj_, T_obj, P_obj_), key);
        const double T = to_double(T_obj);
        const double P = to_double(P_obj_);
        const std::vector<std::string> comps = adapt::to_names(pp_.attr("components"));
        TPFlash flash(self_, pp_, comps, T, P, core::kFlashTol);
        return py::float_(
            trail_.value(z_, static_cast<Eigen::Index>(comps.size()), T, P, key, flash));
    }

    // The entry `key` of a flash result mapping.
    static py::object entry(py::object r, core::TrailEntry key) {
        using E = core::TrailEntry;
        return r[py::str(key == E::H ? "H" : key == E::S ? "S" : "beta")];
    }

private:
    py::handle self_, pp_;
    const Eigen::VectorXd& z_;
    py::handle z_obj_, P_obj_;
    core::SplitTrail trail_;
};

core::BubbleT bubble_t_impl(py::handle self, py::handle pp, const Eigen::VectorXd& x, double P,
                            double T0) {
    core::check_length(x, static_cast<Eigen::Index>(py::len(pp.attr("components"))), "x");
    return core::bubble_t(x, T0, [&](double T) {
        const std::vector<std::string> comps = adapt::to_names(pp.attr("components"));
        return kvalues_call(self, pp, comps, Vapor(pp), x, x, T, P).K;
    });
}

}  // namespace

double psat_method(py::object self, py::object c, double T) {
    return core::psat(antoine_coeffs(electrolyte(self).antoine[c]), T);
}

py::tuple fugacities_method(py::object self, py::object n_app, double T) {
    Fugacities f = fugacities_impl(self, n_app, T);
    return py::make_tuple(fugacity_dict(f.f), to_numpy(f.n), to_numpy(f.lng));
}

py::object front_bubble_t(py::handle self, py::handle n_app, py::handle components, py::handle pp,
                          double P, double T0, double T_min, double T_max) {
    for (const char* name : {"fugacities", "true_amounts", "lnK", "henry_ref"})
        if (python_override(self, name)) return py::none();
    if (!ideal_vapor(phasekit("phi_vapor"), pp)) return py::none();
    Electrolyte& el = electrolyte(self);
    const std::vector<std::string> comps = adapt::to_names(components);
    Eigen::VectorXd fv(static_cast<Eigen::Index>(comps.size()));  // f on the components [Pa]
    // g(T): the model's fugacities(n_app, T) as the Python loop has them (from the same record;
    // the speciation on the callbacks the front door keeps, true_amounts' digits), then
    // ln max(sum_k f_k / P, 1e-300) with numpy's sum over the components (0 where the liquid
    // has none; phi = 1)
    auto g = [&](double T) {
        Fugacities fu;
        try {
            ColdSpeciation s = warm_speciation(self, n_app, T, false);
            if (!s.converged) throw core::BubbleStepAside{};  // the loop's recovery (_settled)
            fu = liquid_fugacities_of(el, std::move(s.n), std::move(s.lng), T);
        } catch (const py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like
            throw core::BubbleStepAside{};           // the loop's recovery or its error
        } catch (const std::exception&) {
            throw core::BubbleStepAside{};
        }
        fv.setZero();
        for (const auto& [name, v] : fu.f)  // (a dict of them: the last entry of a name)
            for (std::size_t k = 0; k < comps.size(); ++k)
                if (name == comps[k]) fv[static_cast<Eigen::Index>(k)] = v;
        const double s = core::numpy_sum(fv.data(), fv.size()) / P;
        return std::log(std::max(s, 1e-300));
    };
    const core::BubbleSearch r = core::bubble_search(g, T0, T_min, T_max);
    return py::make_tuple(static_cast<int>(r.outcome), r.T, r.g, r.evaluations);
}

namespace {

// The inputs of _front_split_at_beta, _front_split_at_T, _front_dew_point and
// _front_vapor_at_T, and each trial
// liquid of a split as _front_fugacities speciates it ({component: x} in the components' order,
// from the warm record the last one left), its cost the speciation's iterations; an unsettled one
// noted in unsettled, or stepped aside from where the caller settles it (settle).
struct NewtonSplitInputs {
    core::SplitAtBeta p;
    core::SplitSettings set;
    Eigen::VectorXd w0;
    std::vector<py::object> keys;  // the components' own str objects: the trial liquids' keys
    bool settle = false;
    bool unsettled = false;

    NewtonSplitInputs(const char* who, py::handle components, py::handle z_in, py::handle V_in,
                      py::handle zV_in, py::handle species_in, py::handle w0_in, double P,
                      py::handle limits, Eigen::Index unknowns_beyond_V)
        : NewtonSplitInputs(who, components, z_in, V_in, w0_in, P, limits, unknowns_beyond_V) {
        for (py::handle k : species_in) p.species.push_back(k.cast<Eigen::Index>());
        p.zV = to_vector(zV_in, "zV");
        const auto m = static_cast<Eigen::Index>(p.V.size());
        if (p.zV.size() != m || static_cast<Eigen::Index>(p.species.size()) != m)
            throw core::ValueError(std::string(who) + ": sizes of z, V, zV, species and w0 differ");
    }

    // The dew point's and the all-vapor test's: no zV, no species.
    NewtonSplitInputs(const char* who, py::handle components, py::handle z_in, py::handle V_in,
                      py::handle w0_in, double P, py::handle limits,
                      Eigen::Index unknowns_beyond_V) {
        const std::vector<std::string> comps = adapt::to_names(components);
        for (py::handle c : components) keys.push_back(py::reinterpret_borrow<py::object>(c));
        p.z = to_vector(z_in, "z");
        for (py::handle k : V_in) p.V.push_back(k.cast<Eigen::Index>());
        w0 = to_vector(w0_in, "w0");
        const auto nc = static_cast<Eigen::Index>(comps.size());
        const auto m = static_cast<Eigen::Index>(p.V.size());
        if (p.z.size() != nc || keys.size() != comps.size() || w0.size() != m + unknowns_beyond_V)
            throw core::ValueError(std::string(who) + ": sizes of z, V and w0 differ");
        for (Eigen::Index k : p.V) {
            if (k < 0 || k >= nc) throw core::ValueError(std::string(who) + ": V out of range");
            p.names.push_back(comps[static_cast<std::size_t>(k)]);
        }
        p.P = P;
        py::tuple t = py::reinterpret_borrow<py::tuple>(limits);
        if (t.size() != 11) throw core::ValueError(std::string(who) + ": 11 limits");
        set.tol = to_double(t[0]);
        set.split_tol = to_double(t[1]);
        set.steps = t[2].cast<int>();
        set.large_step = to_double(t[3]);
        set.budget = t[4].cast<long long>();
        p.cap_ln = to_double(t[5]);
        p.cap_T = to_double(t[6]);
        p.T_min = to_double(t[7]);
        p.T_max = to_double(t[8]);
        p.vapor_floor = to_double(t[9]);
        p.resolution = to_double(t[10]);
    }

    core::TrialLiquidOf liquid(py::handle self, Electrolyte& el) {
        return [this, self, &el](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
            const auto nc = static_cast<Eigen::Index>(keys.size());
            const auto m = static_cast<Eigen::Index>(p.V.size());
            std::optional<FrontFugacities> fu;
            try {
                py::dict app;
                for (Eigen::Index k = 0; k < nc; ++k)
                    app[keys[static_cast<std::size_t>(k)]] = py::float_(x[k]);
                fu = front_fugacities_of(self, app, T);
            } catch (const py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;  // KeyboardInterrupt and the like
                throw core::SplitStepAside{};  // the loop raises it, or its line search halves
            } catch (const std::exception&) {
                throw core::SplitStepAside{};
            }
            if (!fu) throw core::SplitStepAside{};  // the loop's call of fugacities
            bool converged = true;
            {
                std::lock_guard<std::mutex> held(el.lock.m);
                const auto& st = status_of(el);
                out.cost = st.speciation_iterations;
                converged = st.speciation_converged;
            }
            if (!converged) {
                if (settle) throw core::SplitStepAside{};  // the loop's recovery (_recover)
                unsettled = true;
            }
            out.f.resize(m);
            for (Eigen::Index i = 0; i < m; ++i) {
                bool found = false;
                for (const auto& [name, v] : fu->f)  // (a dict of them: the last entry of a name)
                    if (name == p.names[static_cast<std::size_t>(i)]) {
                        out.f[i] = v;
                        found = true;
                    }
                if (!found) throw core::SplitStepAside{};  // the loop's KeyError
            }
            out.n = std::move(fu->n);
        };
    }

    // Each trial liquid of the dew point (and of the all-vapor test) as the split's (each trace
    // resolved to its own total, flashes._incipient_fugacities), no cost charged (the loop counts
    // evaluations only); one that does not settle steps aside (the loop's recovery,
    // flashes._settled).
    core::TrialLiquidOf incipient_liquid(py::handle self, Electrolyte& el) {
        settle = true;
        return
            [inner = liquid(self, el)](const Eigen::VectorXd& x, double T, core::TrialLiquid& out) {
                inner(x, T, out);
                out.cost = 0;
            };
    }
};

bool split_overridden(py::handle self, py::handle pp) {
    for (const char* name :
         {"fugacities", "true_amounts", "lnK", "henry_ref", "_residual", "_status"})
        if (python_override(self, name)) return true;
    return !ideal_vapor(phasekit("phi_vapor"), pp);
}

}  // namespace

py::object front_split_at_beta(py::handle self, py::handle components, py::handle z_in,
                               py::handle V_in, py::handle zV_in, py::handle species_in,
                               py::handle w0_in, py::handle pp, double P, double beta,
                               py::handle limits) {
    if (split_overridden(self, pp)) return py::none();
    Electrolyte& el = electrolyte(self);
    NewtonSplitInputs call("_front_split_at_beta", components, z_in, V_in, zV_in, species_in, w0_in,
                           P, limits, 1);
    call.p.beta = beta;
    const core::SplitNewton r =
        core::split_at_beta(call.p, call.liquid(self, el), call.w0, call.set);
    if (r.outcome != core::SplitNewton::kFound)
        return py::make_tuple(static_cast<int>(r.outcome), r.why, py::none(), py::none(),
                              py::none(), py::none(), py::none(), r.evaluations);
    return py::make_tuple(static_cast<int>(r.outcome), r.why, r.point.vs, to_numpy(r.point.x),
                          to_numpy(r.point.y), to_numpy(r.point.n), r.point.T, r.evaluations);
}

py::object front_split_at_t(py::handle self, py::handle components, py::handle z_in,
                            py::handle V_in, py::handle zV_in, py::handle species_in,
                            py::handle w0_in, py::handle pp, double P, double T, bool settle,
                            py::handle limits) {
    if (split_overridden(self, pp)) return py::none();
    Electrolyte& el = electrolyte(self);
    NewtonSplitInputs call("_front_split_at_T", components, z_in, V_in, zV_in, species_in, w0_in, P,
                           limits, 0);
    call.settle = settle;
    const core::SplitNewton r =
        core::split_at_T(call.p, T, call.liquid(self, el), call.w0, call.set);
    if (r.outcome != core::SplitNewton::kFound)
        return py::make_tuple(static_cast<int>(r.outcome), r.why, py::none(), py::none(),
                              py::none(), py::none(), r.evaluations, r.budget, call.unsettled);
    return py::make_tuple(static_cast<int>(r.outcome), r.why, r.point.vs, to_numpy(r.point.x),
                          to_numpy(r.point.y), to_numpy(r.point.n), r.evaluations, r.budget,
                          call.unsettled);
}

py::object front_dew_point(py::handle self, py::handle components, py::handle z_in, py::handle V_in,
                           py::handle w0_in, py::handle pp, double P, py::handle limits) {
    if (split_overridden(self, pp)) return py::none();
    Electrolyte& el = electrolyte(self);
    NewtonSplitInputs call("_front_dew_point", components, z_in, V_in, w0_in, P, limits, 1);
    const core::SplitNewton r =
        core::dew_point(call.p, call.incipient_liquid(self, el), call.w0, call.set);
    if (r.outcome != core::SplitNewton::kFound)
        return py::make_tuple(static_cast<int>(r.outcome), r.why, py::none(), py::none(),
                              py::none(), r.evaluations);
    return py::make_tuple(static_cast<int>(r.outcome), r.why, to_numpy(r.point.x),
                          to_numpy(r.point.n), r.point.T, r.evaluations);
}

py::object front_vapor_at_t(py::handle self, py::handle components, py::handle z_in,
                            py::handle V_in, py::handle w0_in, py::handle pp, double P, double T,
                            py::handle limits) {
    if (split_overridden(self, pp)) return py::none();
    Electrolyte& el = electrolyte(self);
    NewtonSplitInputs call("_front_vapor_at_T", components, z_in, V_in, w0_in, P, limits, 1);
    const core::SplitNewton r =
        core::vapor_at_T(call.p, T, call.incipient_liquid(self, el), call.w0, call.set);
    if (r.outcome != core::SplitNewton::kFound)
        return py::make_tuple(static_cast<int>(r.outcome), r.why, py::none(), py::none(),
                              py::none(), r.evaluations);
    return py::make_tuple(static_cast<int>(r.outcome), r.why, to_numpy(r.point.x),
                          to_numpy(r.point.n), r.point.ln_lambda, r.evaluations);
}

py::tuple bubble_method(py::object self, py::object n_app, double T) {
    Eigen::VectorXd n, lng;
    core::FugacityMap f;
    if (py::object ov = python_override(self, "fugacities")) {
        py::tuple r = ov(n_app, T);
        for (auto item : py::reinterpret_borrow<py::dict>(py::dict(r[0])))
            f.emplace_back(py::str(item.first).cast<std::string>(), to_double(item.second));
        n = to_vec(r[1], "true amounts");
        lng = to_vec(r[2], "ln gamma");
    } else {
        Fugacities fu = fugacities_impl(self, n_app, T);
        f = std::move(fu.f);
        n = std::move(fu.n);
        lng = std::move(fu.lng);
    }
    const Eigen::VectorXd x = n / n.sum();
    std::vector<double> y;
    const double P = core::bubble_pressure(f, y);
    py::dict yd, xd, gd;
    for (std::size_t i = 0; i < f.size(); ++i) yd[py::str(f[i].first)] = y[i];
    Eigen::Index k = 0;
    for (py::handle name : electrolyte(self).names) {
        if (k >= x.size() || k >= lng.size()) break;
        xd[name] = x[k];
        gd[name] = lng[k];
        ++k;
    }
    return py::make_tuple(P, yd, xd, gd);
}

py::tuple kvalues_method(py::object self, py::object pp, py::object xa, py::object y, double T,
                         double P) {
    const Vapor vapor(pp);
    const std::vector<std::string> comps = adapt::to_names(pp.attr("components"));
    core::KValues kv = kvalues_impl(self, pp, comps, vapor, to_vec(xa, "xa"), y, T, P);
    return py::make_tuple(to_numpy(kv.K), to_numpy(kv.n));
}

py::dict flash_tp_method(py::object self, py::object pp, py::object z, py::object T, py::object P,
                         double tol, py::object maxit) {
    (void)maxit;  // the substitution has its own fixed 15 steps
    return flash_tp_impl(self, pp, z, T, P, tol);
}

py::tuple substitution_method(py::object self, py::object pp, py::object z, py::object x0,
                              py::object y0, double T, double P, double tol, int steps,
                              int stall_steps, double stall_tol) {
    const std::vector<std::string> comps = adapt::to_names(pp.attr("components"));
    const auto nc = static_cast<Eigen::Index>(comps.size());
    TPFlash flash(self, pp, comps, T, P, core::kFlashTol);
    const Eigen::VectorXd zv = to_vec(z, "z"), xv = to_vec(x0, "x"), yv = to_vec(y0, "y");
    core::SubstitutionOptions opt;
    opt.tol = tol;
    opt.steps = steps;
    opt.x = &xv;
    opt.y = &yv;
    opt.normalise = false;
    opt.bubble_test = false;
    opt.damped = true;
    opt.absent_stay_absent = true;
    opt.stall_steps = stall_steps;
    opt.stall_tol = stall_tol;
    const core::Substitution sub = core::substitute(zv, nc, flash.hooks, opt);
    const long taken = sub.substituted ? sub.it + 1 : 0;
    return py::make_tuple(sub.beta, to_numpy(sub.x), to_numpy(sub.y), to_numpy(sub.n), taken);
}

py::tuple flash_newton_method(py::object self, py::object pp, py::object z, double T, double P,
                              py::object v0, py::object tol) {
    (void)tol;  // the solver's own xtol 1e-12 decides
    core::SplitResult s = flash_newton_impl(self, pp, to_vec(z, "z"), T, P, to_vec(v0, "v0"));
    return py::make_tuple(s.beta, to_numpy(s.x), to_numpy(s.y), to_numpy(s.n), s.nfev);
}

py::tuple bubble_t_method(py::object self, py::object pp, py::object x, double P, double T0) {
    core::BubbleT b = bubble_t_impl(self, pp, to_vec(x, "x"), P, T0);
    return py::make_tuple(b.T, to_numpy(b.y));
}

py::object flash_method(py::object self, py::object pp, py::object z_obj, py::object P,
                        py::object T, py::object H, py::object S, py::object beta,
                        py::object T0_obj) {
    Eigen::VectorXd zv = to_vec(z_obj, "z");
    zv /= zv.sum();
    py::array_t<double> z = to_numpy(zv);
    // A false T0 (None, 0) means 350 K; T0 itself is handed on unconverted.
    const py::object T0 = truthy(T0_obj) ? T0_obj : py::object(py::float_(350.0));
    auto tp = [&](py::handle t) { return flash_tp_call(self, pp, z, t, P); };
    if (!T.is_none()) return tp(T);
    py::object solve = phasekit("_solve_T");
    // The solve runs on the trail's flashes; when the TP flash at its temperature does
    // not meet the target as the trail did (a split the substitution leaves elsewhere,
    // near a dew point), it runs again on TP flashes throughout.
    using Entry = core::TrailEntry;
    FlashTrail trail(self, pp, zv, z, P);
    Entry key = Entry::H;
    py::object target, start;
    std::optional<double> Tb;  // the bubble point of a vapor-fraction solve
    if (!H.is_none()) {
        target = H;
        start = T0;
    } else if (!S.is_none()) {
        key = Entry::S;
        target = S;
        start = T0;
    } else if (!beta.is_none()) {
        key = Entry::Beta;
        py::object Tb_obj;
        if (py::object ov = python_override(self, "bubble_t"))
            Tb_obj = py::reinterpret_borrow<py::tuple>(ov(pp, z, P, T0))[0];
        else
            Tb_obj = py::float_(bubble_t_impl(self, pp, zv, to_double(P), to_double(T0)).T);
        Tb = to_double(Tb_obj);
        const double b = to_double(beta);
        if (b <= 0.0) {
            py::object r = tp(Tb_obj);
            r["beta"] = 0.0;
            return r;
        }
        target = py::float_(core::TemperatureSolve::beta_goal(b));
        start = py::float_(core::TemperatureSolve::beta_start(*Tb));
    } else {
        throw core::ValueError("Give one of T, H, S, beta");
    }
    // One temperature solve: the trail's warm splits far from the target (a few
    // speciations each), the TP flash itself near it.
    const core::TemperatureSolve ts(key, to_double(target), Tb);
    py::object Tsol = solve(py::cpp_function([&](py::object t) -> py::object {
                                if (Tb)
                                    if (std::optional<double> below = ts.below(to_double(t)))
                                        return py::float_(*below);
                                py::object v = trail.value(t, key);
                                if (ts.exact(to_double(v))) v = FlashTrail::entry(tp(t), key);
                                return v;
                            }),
                            target, start);
    py::object r = tp(Tsol);
    return r;
}

py::tuple hybrd_call(py::function f, py::object x0_obj) {
    const Eigen::VectorXd x0 = to_vec(x0_obj, "x0");
    core::SystemFn fn = [&f](const Eigen::VectorXd& x, Eigen::VectorXd& r) {
        py::array_t<double> out = py::array_t<double>::ensure(f(to_numpy(x)));
        if (!out || out.ndim() != 1 || out.shape(0) != r.size())
            throw py::value_error("residual must return one float per unknown");
        for (Eigen::Index i = 0; i < r.size(); ++i) r[i] = out.at(i);
    };
    core::HybrdResult res = core::hybrd(fn, x0);
    return py::make_tuple(to_numpy(res.x), res.nfev, res.status);
}

double brentq_call(py::handle f, double a, double b, double xtol, double rtol, int maxiter) {
    // f's value as Python's float() of it (PyFloat_AsDouble: a float, int or NumPy scalar; a
    // TypeError otherwise); an exception raised in f reaches the caller as it was raised
    auto value = [f](double x) {
        const py::object r = f(x);
        const double v = PyFloat_AsDouble(r.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return v;
    };
    return core::brentq(value, a, b, xtol, rtol, maxiter);
}

}  // namespace brinequil::host
