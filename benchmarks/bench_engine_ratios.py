"""The front door against the core layer, side by side in one run, on the same model:

- ``System.liquid`` against the cold core speciation (``true_amounts`` from no warm start) for
  CO2-H2O, NH3-CO2-H2O, 30 wt% MEA and a four-salt brine;
- ``liquid()`` + ``jacobian()`` (every derivative of the state) against ``liquid()``;
- ``System.flash`` at T and at H against the core's flash (``flash_tp`` / ``flash(H=...)``) on
  MEA-CO2-water with N2.

Times are the median of repeats; the ratios are the figures to read (the machine is shared)."""

import statistics
import time
import warnings

import velmora
from velmora import checks

warnings.simplefilter("ignore", velmora.RangeWarning)
P = 101325.0


def median_time(f, repeat=7, number=50):
    runs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            f()
        runs.append((time.perf_counter() - t0) / number)
    return statistics.median(runs)


LIQUIDS = [
    ("CO2-H2O", "CO2-H2O", dict(molalities={"CO2": 0.5}), 313.15),
    ("NH3-CO2-H2O", "NH3-CO2-H2O", dict(molalities={"NH3": 2.0, "CO2": 1.0}), 313.15),
    ("30 wt% MEA, loading 0.3", "MEA-CO2-H2O", dict(mass_fractions={"MEA": 0.3}, loading=0.3),
     313.15),
    ("four-salt brine", "brine-H2O",
     dict(molalities={"NaCl": 1.0, "KCl": 0.1, "CaCl2": 0.05, "Na2SO4": 0.05}), 298.15),
]


def liquids():
    print("liquid state: front door / cold core speciation; liquid + jacobian / liquid")
    for label, name, given, T in LIQUIDS:
        s = velmora.System(name)
        app = s.composition(**given)
        el = s.model

        def core():
            el._warm = None
            return el.true_amounts(app, T)

        def front():
            return s.liquid(T, **given)

        def both():
            return s.liquid(T, **given).jacobian()

        core(), front(), both()
        t_core, t_front, t_jac = median_time(core), median_time(front), median_time(both)
        print(f"  {label:<26} core {t_core * 1e6:7.1f} us  front {t_front * 1e6:7.1f} us "
              f"({t_front / t_core:4.2f}x)  +jacobian {t_jac * 1e6:7.1f} us "
              f"({t_jac / t_front:4.2f}x)")


def flashes():
    mea = velmora.System("MEA-CO2-H2O", gases=["N2"])
    solvent = mea.composition(mass_fractions={"MEA": 0.3}, loading=0.4)
    feed = dict(solvent, N2=0.06 / 0.94 * sum(solvent.values()))
    z = checks.feed(mea, feed)
    el, pp = mea.model, mea.pp
    print("flash, MEA-CO2-H2O-N2 at 1 atm: front door / core")
    for T in (330.0, 353.15, 376.0):
        def core():
            el._warm = None
            return el.flash_tp(pp, z, T, P)

        t_core = median_time(core)
        t_front = median_time(lambda: mea.flash(feed, P, T=T))
        print(f"  T = {T:.2f} K: core {t_core * 1e3:.3f} ms, front {t_front * 1e3:.3f} ms "
              f"({t_front / t_core:4.2f}x)")
    H = el.flash_tp(pp, z, 353.15, P)["H"]  # J/kmol of feed

    def core_h():
        el._warm = None
        return el.flash(pp, z, P, H=H)

    t_core = median_time(core_h, 3, 5)
    t_front = median_time(lambda: mea.flash(feed, P, H=H / 1000.0), 3, 5)
    print(f"  at H: core {t_core * 1e3:.2f} ms, front {t_front * 1e3:.2f} ms "
          f"({t_front / t_core:4.2f}x)")


if __name__ == "__main__":
    liquids()
    flashes()
