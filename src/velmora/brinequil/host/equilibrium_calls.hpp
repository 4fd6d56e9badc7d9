// The operations of the liquid fugacities and of the phase equilibrium as the model's methods
// (bind_equilibrium.cpp binds them; equilibrium_calls.cpp holds them): each takes the Python
// object of the model first and its arguments as Python hands them over.
#pragma once
#include <functional>

#include "host/electrolyte.hpp"

namespace brinequil::host {

// psat(c, T): vapor pressure [Pa] of species c by the extended Antoine correlation.
double psat_method(py::object self, py::object c, double T);
// fugacities(n_app, T): ({species: Pa}, true amounts, ln gamma).
py::tuple fugacities_method(py::object self, py::object n_app, double T);
// bubble(n_app, T): (bubble pressure [Pa], {species: y}, {species: x}, {species: ln gamma}).
py::tuple bubble_method(py::object self, py::object n_app, double T);
// _front_bubble_T(n_app, components, pp, P, T0, T_min, T_max): the front door's bubble
// temperature search (flashes._bubble_T) in one call, (outcome, T, g, evaluations) as
// core::bubble_search gives them; None where a method of the loop or the vapor model (not the
// package's own ideal gas) is replaced in Python.
py::object front_bubble_t(py::handle self, py::handle n_app, py::handle components, py::handle pp,
                          double P, double T0, double T_min, double T_max);
// _front_split_at_beta(components, z, V, zV, species, w0, pp, P, beta, limits): the front door's
// split with the vapor fraction beta given (flashes._fugacity_split_at_beta's Newton) in one
// call, (outcome, message, beta, x, y, true amounts, T, evaluations) as core::split_at_beta gives
// them; None where a method of the loop or the vapor model (not the package's own ideal gas) is
// replaced in Python.
py::object front_split_at_beta(py::handle self, py::handle components, py::handle z_in,
                               py::handle V_in, py::handle zV_in, py::handle species_in,
                               py::handle w0_in, py::handle pp, double P, double beta,
                               py::handle limits);
// _front_split_at_T(components, z, V, zV, species, w0, pp, P, T, settle, limits): one start of
// the TP flash's split on the liquid's fugacities (flashes._fugacity_newton with T given) in one
// call, (outcome, message, beta, x, y, true amounts, evaluations, budget left, an unsettled trial
// liquid seen) as core::split_at_T gives them, the budget limits[4]; with settle, an unsettled
// trial liquid steps aside (the loop settles it). None as for _front_split_at_beta.
py::object front_split_at_t(py::handle self, py::handle components, py::handle z_in,
                            py::handle V_in, py::handle zV_in, py::handle species_in,
                            py::handle w0_in, py::handle pp, double P, double T, bool settle,
                            py::handle limits);
// _front_dew_point(components, z, V, w0, pp, P, limits): the front door's dew point
// (flashes._dew_point's Newton) in one call, (outcome, message, incipient liquid x, its true
// amounts, T, evaluations) as core::dew_point gives them, each trial liquid as the model's
// fugacities speciates it; limits as for _front_split_at_beta. None as for _front_split_at_beta.
py::object front_dew_point(py::handle self, py::handle components, py::handle z_in, py::handle V_in,
                           py::handle w0_in, py::handle pp, double P, py::handle limits);
// _front_vapor_at_T(components, z, V, w0, pp, P, T, limits): the front door's all-vapor test on
// the liquid's fugacities (flashes._vapor_on_fugacities' Newton) in one call, (outcome, message,
// incipient liquid x, its true amounts, ln lambda, evaluations) as core::vapor_at_T gives them,
// each trial liquid as for _front_dew_point; limits as for _front_split_at_beta. None as for
// _front_split_at_beta.
py::object front_vapor_at_t(py::handle self, py::handle components, py::handle z_in,
                            py::handle V_in, py::handle w0_in, py::handle pp, double P, double T,
                            py::handle limits);
// kvalues(pp, xa, y, T, P): (K of the components, true amounts per unit of liquid).
py::tuple kvalues_method(py::object self, py::object pp, py::object xa, py::object y, double T,
                         double P);
// flash_tp(pp, z, T, P, tol, maxit): the package's flash result with "true".
py::dict flash_tp_method(py::object self, py::object pp, py::object z, py::object T, py::object P,
                         double tol, py::object maxit);
// _substitution(pp, z, x, y, T, P, tol, steps, stall_steps, stall_tol): the front door's damped
// successive substitution from the liquid x and vapor y; (beta, x, y, true amounts, steps taken).
py::tuple substitution_method(py::object self, py::object pp, py::object z, py::object x0,
                              py::object y0, double T, double P, double tol, int steps,
                              int stall_steps, double stall_tol);
// _front_tp_flash: the TP flash and the check of its answer in one call (see its binding).
py::object front_tp_flash(py::handle self, py::handle pp, py::handle z_obj, double T, double P,
                          py::handle components, double tol, py::handle limits, py::handle water,
                          py::list box, py::handle self_ions);
// _flash_newton(pp, z, T, P, v0, tol): (beta, x, y, n, nfev).
py::tuple flash_newton_method(py::object self, py::object pp, py::object z, double T, double P,
                              py::object v0, py::object tol);
// bubble_t(pp, x, P, T0): (T [K], vapor).
py::tuple bubble_t_method(py::object self, py::object pp, py::object x, double P, double T0);
// flash(pp, z, P, T, H, S, beta, T0): a flash at P with one of T, H, S or the vapor fraction.
py::object flash_method(py::object self, py::object pp, py::object z_obj, py::object P,
                        py::object T, py::object H, py::object S, py::object beta,
                        py::object T0_obj);

// The C++ root finders on Python functions: hybrid Powell (x, nfev, info; a test hook) and
// Brent (the front door's root searches too).
py::tuple hybrd_call(py::function f, py::object x0_obj);
double brentq_call(py::handle f, double a, double b, double xtol, double rtol, int maxiter);

}  // namespace brinequil::host
