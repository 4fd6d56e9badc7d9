"""What the front door's check of every answer costs: the core layer's TP flash from a cold model
(as the front door starts every call) against velmora.System.flash, which adds the input guards,
one more speciation and fugacity evaluation of the liquid, the phase, balance and reaction
residuals and the named results. MEA-CO2-water with N2 (30 wt% MEA, loading 0.4, 6 % N2), 1 atm."""

import warnings

import velmora
import velmora.brinequil as bq
from bench_engine_ratios import median_time  # this folder is on the path of a script run here
from velmora import checks, flashes

warnings.simplefilter("ignore", velmora.RangeWarning)
P = 101325.0

mea = velmora.System("MEA-CO2-H2O", gases=["N2"])
solvent = mea.composition(mass_fractions={"MEA": 0.3}, loading=0.4)
feed = dict(solvent, N2=0.06 / 0.94 * sum(solvent.values()))
z = checks.feed(mea, feed)
el, pp = mea.model, mea.pp

for T in (330.0, 353.15, 376.0):

    def core(T=T):
        el._warm = None
        return el.flash_tp(pp, z, T, P)

    raw = core()
    t_core = median_time(core)
    t_check = median_time(
        lambda raw=raw, T=T: flashes._check(mea, z, raw, T, P, bq._WarmStart(el._warm))
    )
    t_front = median_time(lambda T=T: mea.flash(feed, P, T=T))
    print(
        f"{T:.2f} K (beta {raw['beta']:.4f}, {raw['iterations']} iterations): "
        f"core {t_core * 1e3:.3f} ms, check {t_check * 1e3:.3f} ms "
        f"({100 * t_check / t_core:.1f} % of the core flash), whole front-door flash "
        f"{t_front * 1e3:.3f} ms ({100 * (t_front / t_core - 1):.1f} % over the core)"
    )

H = mea.flash(feed, P, T=353.15).H
print(
    f"front-door flash at a given H: "
    f"{median_time(lambda: mea.flash(feed, P, H=H), 3, 5) * 1e3:.1f} ms"
)
print(
    f"front-door flash at vapor fraction 0.3: "
    f"{median_time(lambda: mea.flash(feed, P, vapor_fraction=0.3), 3, 5) * 1e3:.1f} ms"
)
liq = dict(mass_fractions={"MEA": 0.3}, loading=0.4)
print(f"front-door liquid state: {median_time(lambda: mea.liquid(313.15, **liq)) * 1e6:.0f} us")
