"""The front door against the core layer, side by side in one run, on the same model:

- ``System.liquid`` against the cold core speciation (``true_amounts`` from no warm start) for
  CO2-H2O, NH3-CO2-H2O, 30 wt% MEA and a four-salt brine;
- ``liquid()`` + ``jacobian()`` (every derivative of the state) against ``liquid()``;
- ``System.flash`` at T and at H against the core's flash (``flash_tp`` / ``flash(H=...)``) on
  MEA-CO2-water with N2.

Times are the median of repeats; the ratios are the figures to read (the machine is shared).
Each ratio is the median of per-repeat ratios, the two calls timed in turn within a repeat, so
that a load that comes and goes during the run falls on both sides alike. ``--cpu``: the
thread's CPU time (time.thread_time) instead of the wall clock, which on a loaded machine also
counts the time other processes hold the core."""

import statistics
import sys
import time
import warnings

import velmora
from velmora import checks

warnings.simplefilter("ignore", velmora.RangeWarning)
P = 101325.0


CLOCK = time.thread_time if "--cpu" in sys.argv[1:] else time.perf_counter


def _block(f, number):
    t0 = CLOCK()
    for _ in range(number):
        f()
    return (CLOCK() - t0) / number


def median_time(f, repeat=7, number=50):
    return statistics.median(_block(f, number) for _ in range(repeat))


def interleaved(fs, repeat=15, number=20):
    """Median times of the calls fs and the median ratio of each to the one before it, the
    calls timed in turn in every repeat."""
    runs = [[_block(f, number) for f in fs] for _ in range(repeat)]
    times = [statistics.median(r[i] for r in runs) for i in range(len(fs))]
    ratios = [statistics.median(r[i] / r[i - 1] for r in runs) for i in range(1, len(fs))]
    return times, ratios


LIQUIDS = [
    ("CO2-H2O", "CO2-H2O", dict(molalities={"CO2": 0.5}), 313.15),
    ("NH3-CO2-H2O", "NH3-CO2-H2O", dict(molalities={"NH3": 2.0, "CO2": 1.0}), 313.15),
    (
        "30 wt% MEA, loading 0.3",
        "MEA-CO2-H2O",
        dict(mass_fractions={"MEA": 0.3}, loading=0.3),
        313.15,
    ),
    (
        "four-salt brine",
        "brine-H2O",
        dict(molalities={"NaCl": 1.0, "KCl": 0.1, "CaCl2": 0.05, "Na2SO4": 0.05}),
        298.15,
    ),
]


def liquids():
    print("liquid state: front door / cold core speciation; liquid + jacobian / liquid")
    for label, name, given, T in LIQUIDS:
        s = velmora.System(name)
        app = s.composition(**given)
        el = s.model

        # bound as defaults, this case's objects: each function is timed within its pass
        def core(el=el, app=app, T=T):
            el._warm = None
            return el.true_amounts(app, T)

        def front(s=s, T=T, given=given):
            return s.liquid(T, **given)

        def both(s=s, T=T, given=given):
            return s.liquid(T, **given).jacobian()

        core(), front(), both()
        (t_core, t_front, t_jac), (r_front, r_jac) = interleaved([core, front, both])
        print(
            f"  {label:<26} core {t_core * 1e6:7.1f} us  front {t_front * 1e6:7.1f} us "
            f"({r_front:4.2f}x)  +jacobian {t_jac * 1e6:7.1f} us ({r_jac:4.2f}x)"
        )


def flashes():
    mea = velmora.System("MEA-CO2-H2O", gases=["N2"])
    solvent = mea.composition(mass_fractions={"MEA": 0.3}, loading=0.4)
    feed = dict(solvent, N2=0.06 / 0.94 * sum(solvent.values()))
    z = checks.feed(mea, feed)
    el, pp = mea.model, mea.pp
    print("flash, MEA-CO2-H2O-N2 at 1 atm: front door / core")
    for T in (330.0, 353.15, 376.0):

        def core(T=T):
            el._warm = None
            return el.flash_tp(pp, z, T, P)

        def front(T=T):
            return mea.flash(feed, P, T=T)

        (t_core, t_front), (r,) = interleaved([core, front], 9, 20)
        print(
            f"  T = {T:.2f} K: core {t_core * 1e3:.3f} ms, front {t_front * 1e3:.3f} ms ({r:4.2f}x)"
        )
    H = el.flash_tp(pp, z, 353.15, P)["H"]  # J/kmol of feed

    def core_h():
        el._warm = None
        return el.flash(pp, z, P, H=H)

    (t_core, t_front), (r,) = interleaved([core_h, lambda: mea.flash(feed, P, H=H / 1000.0)], 7, 5)
    print(f"  at H: core {t_core * 1e3:.2f} ms, front {t_front * 1e3:.2f} ms ({r:4.2f}x)")


if __name__ == "__main__":
    print(f"clock: {CLOCK.__name__}")
    liquids()
    flashes()
