"""What a solid-liquid equilibrium costs: a brine of NaCl, KCl, CaCl2 and Na2SO4 at 25 C that
leaves four solids (halite, sylvite, anhydrite, thenardite), against one speciation of the same
feed: the core layer's from a cold model and warm (started from its own answer, as the solve's
inner speciations are from the last one), and the front door's verified liquid state. Also a
one-solid case (gypsum) and the boiling brine of docs/solids.md. Times are the best of the
repeats (the machine is shared)."""

import timeit
import warnings

import velmora

warnings.simplefilter("ignore", velmora.RangeWarning)


def best_time(f, repeat=7, number=20):
    return min(timeit.repeat(f, number=number, repeat=repeat)) / number


b = velmora.System("brine-H2O")
for m, T in (
    ({"NaCl": 10.0, "KCl": 5.0, "CaCl2": 0.1, "Na2SO4": 1.5}, 298.15),
    ({"NaCl": 10.0, "KCl": 5.0, "CaCl2": 0.1, "Na2SO4": 1.5}, 278.15),
    ({"NaCl": 1.0, "KCl": 0.01, "CaCl2": 0.2, "Na2SO4": 0.2}, 298.15),
):
    app = b.composition(molalities=m)
    el = b.model

    # bound as defaults, this case's objects: each function is timed within its pass
    def core(el=el, app=app, T=T):
        el._warm = None
        return el.true_amounts(app, T)

    core()
    answer = el._warm

    def warm(el=el, app=app, T=T, answer=answer):
        el._warm = answer
        return el.true_amounts(app, T)

    t_core = best_time(core, number=200)
    t_warm = best_time(warm, number=200)
    t_liq = best_time(lambda T=T, m=m: b.liquid(T, molalities=m))
    t_sle = best_time(lambda T=T, m=m: b.liquid(T, molalities=m, solids=True))
    # the same with every named result read (worked out on first use)
    t_read = best_time(lambda T=T, m=m: b.liquid(T, molalities=m, solids=True).to_dict())
    liq = b.liquid(T, molalities=m, solids=True)
    print(
        f"{T:.2f} K, {', '.join(sorted(liq.solids))} ({liq.iterations} Newton steps): "
        f"solid-liquid equilibrium {t_sle * 1e3:.3f} ms = {t_sle / t_core:.1f} cold core "
        f"speciations ({t_core * 1e6:.0f} us; {t_read / t_core:.1f} with every result read) "
        f"= {t_sle / t_warm:.0f} warm ones ({t_warm * 1e6:.1f} us) = {t_sle / t_liq:.1f} "
        f"front-door liquids ({t_liq * 1e3:.2f} ms)"
    )

s = velmora.System("NaCl-H2O")
feed = s.composition(molalities={"NaCl": 3.0})
t_vls = best_time(lambda: s.flash(feed, 101325.0, vapor_fraction=0.7, solids=True), 3, 3)
t_vl = best_time(lambda: s.flash(feed, 101325.0, vapor_fraction=0.7), 3, 3)
print(
    f"boiling brine, vapor fraction 0.7 with halite: {t_vls * 1e3:.0f} ms "
    f"({t_vls / t_vl:.1f} two-phase flashes at a vapor fraction, {t_vl * 1e3:.0f} ms)"
)
