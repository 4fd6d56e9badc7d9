"""Reader of the eNRTL parameter report (format in docs/report-format.md)."""

import math
import re

from velmora.errors import ReportError  # one class with the front door's

SIGNATURE = "ENRTL-PARAMETER-REPORT"
VERSION = 1

KINDS = ("water", "solvent", "solute", "ion")

# Electrolyte-molecule defaults (Chen & Evans 1986): (tau_m,ca, tau_ca,m, alpha).
DEFAULT_PAIR_WATER = (8.0, -4.0, 0.2)
DEFAULT_PAIR_OTHER = (10.0, -2.0, 0.2)

# Number of names leading each data line, and the accepted counts of numbers after them.
_SECTIONS = {
    "SPECIES": None,  # name kind charge mw: parsed on its own
    "BORN-RADIUS": (1, (1,)),
    "SOLVENT-DENSITY": None,
    "SOLVENT-DIELECTRIC": None,
    "NRTL-MOLECULE": (2, (10,)),
    "NRTL-ELECTROLYTE": (3, (9, 13)),  # 13: with the molecule-ion-pair term's W1, W2
    "NRTL-MIXING": (3, (2,)),  # common ion, two ions of the other sign: U_A U_B
    "NRTL-DILUTE": (2, (2,)),  # solvent, ion: D_A D_B of the dilute-weighted like-ion term
    "NRTL-DILUTE-PAIR": (3, (2,)),  # solvent, cation, anion: D_A D_B of the salt-pair term
    "VAPOR-PRESSURE": (1, (7, 9)),
    "HENRY": (2, (5, 7)),
    "CRITICAL-VOLUME": (1, (1,)),
    "AQUEOUS-FORMATION-ENTHALPY": (1, (1,)),
    "AQUEOUS-HEAT-CAPACITY": (1, (1, 2, 3, 4, 5, 6)),
}

# Correlation forms of the solvent data and their coefficient counts (None: one or more).
DENSITY_FORMS = {"KELL": 0, "DIPPR105": 4, "POLY": None}
DIELECTRIC_FORMS = {"BRADLEY-PITZER": 9, "POLY": None, "RECIP": 3}

_TOKEN = re.compile(r'"([^"]*)"|(\S+)')


def _fail(msg):
    raise ReportError("parameter report: " + msg)


def _tokens(line):
    """Split a line into fields; '#' outside quotes starts a comment."""
    out = []
    for m in _TOKEN.finditer(line):
        if m.group(1) is not None:
            out.append(m.group(1))
        else:
            tok = m.group(2)
            if tok.startswith("#"):
                break
            if "#" in tok:
                out.append(tok[: tok.index("#")])
                break
            out.append(tok)
    return out


def _number(tok, where):
    try:
        v = float(tok)
    except ValueError:
        _fail(f"{where}: '{tok}' is not a number")
    if not math.isfinite(v):
        _fail(f"{where}: '{tok}' is not a finite number")
    return v


def _split_sections(text):
    """Yield (section, lineno, fields) for every data line, after checking the signature."""
    if not isinstance(text, str):
        raise TypeError("a parameter report is a text (str)")
    seen_signature = False
    section = None
    sections_seen = set()
    out = []
    for lineno, raw in enumerate(text.splitlines(), start=1):
        fields = _tokens(raw)
        if not fields:
            continue
        if not seen_signature:
            if fields[0] != SIGNATURE or len(fields) != 2:
                _fail(f"line {lineno}: not a parameter report (expected '{SIGNATURE} {VERSION}')")
            try:
                version = int(fields[1])
            except ValueError:
                _fail(f"line {lineno}: bad format version '{fields[1]}'")
            if version != VERSION:
                _fail(f"format version {version} is not known here (this reader knows version {VERSION})")
            seen_signature = True
            continue
        head = raw.strip()
        if head.startswith("["):
            close = head.find("]")
            if close < 0:
                _fail(f"line {lineno}: unclosed section header")
            section = head[1:close].strip()
            if section not in _SECTIONS:
                _fail(f"line {lineno}: unknown section [{section}]")
            if section in sections_seen:
                _fail(f"line {lineno}: section [{section}] appears twice")
            sections_seen.add(section)
            continue
        if section is None:
            _fail(f"line {lineno}: data before the first section")
        out.append((section, lineno, fields))
    if not seen_signature:
        _fail(f"empty (expected the signature '{SIGNATURE} {VERSION}')")
    return out


class _Reader:
    def __init__(self, text, names, henry):
        self.names = list(names)
        if len(set(self.names)) != len(self.names):
            dup = next(s for s in self.names if self.names.count(s) > 1)
            raise ValueError(f"species '{dup}' is named twice")
        self.pos = {s: i for i, s in enumerate(self.names)}
        if isinstance(henry, str):
            henry = [henry]
        self.henry = list(henry) if henry else []
        self.lines = {}
        for section, lineno, fields in _split_sections(text):
            self.lines.setdefault(section, []).append((lineno, fields))

    # -- helpers -------------------------------------------------------------------------
    def _known(self, name, where):
        if name not in self.pos:
            _fail(f"{where}: unknown species '{name}'")
        return name

    def _rows(self, section):
        """(lineno, names, numbers) of a fixed-layout section."""
        nnames, counts = _SECTIONS[section]
        for lineno, fields in self.lines.get(section, []):
            where = f"[{section}] line {lineno}"
            if len(fields) < nnames:
                _fail(f"{where}: expected {nnames} name(s) first")
            names = [self._known(s, where) for s in fields[:nnames]]
            nums = fields[nnames:]
            if len(nums) not in counts:
                want = " or ".join(str(c) for c in counts) if len(counts) < 3 else f"{counts[0]} to {counts[-1]}"
                _fail(f"{where}: expected {want} numbers, got {len(nums)}")
            yield lineno, names, [_number(t, where) for t in nums]

    def _keyed(self, section):
        """{name: numbers} of a one-name section, refusing duplicates."""
        out = {}
        for lineno, (name,), nums in self._rows(section):
            if name in out:
                _fail(f"[{section}] line {lineno}: '{name}' given twice")
            out[name] = nums
        return out

    def _forms(self, section, forms):
        out = {}
        for lineno, fields in self.lines.get(section, []):
            where = f"[{section}] line {lineno}"
            if len(fields) < 2:
                _fail(f"{where}: expected a name and a form")
            name = self._known(fields[0], where)
            form = fields[1]
            if form not in forms:
                _fail(f"{where}: unknown form '{form}' (accepted: {', '.join(forms)})")
            coeffs = [_number(t, where) for t in fields[2:]]
            need = forms[form]
            if need is None and not coeffs:
                _fail(f"{where}: form {form} needs at least one coefficient")
            if need is not None and len(coeffs) != need:
                _fail(f"{where}: form {form} needs {need} coefficients, got {len(coeffs)}")
            if name in out:
                _fail(f"{where}: '{name}' given twice")
            out[name] = (form, coeffs)
        return out

    # -- the sections --------------------------------------------------------------------
    def species(self):
        kind, charge, mw = {}, {}, {}
        for lineno, fields in self.lines.get("SPECIES", []):
            where = f"[SPECIES] line {lineno}"
            if len(fields) != 4:
                _fail(f"{where}: expected name, kind, charge and molar mass")
            name = self._known(fields[0], where)
            if name in kind:
                _fail(f"{where}: '{name}' given twice")
            if fields[1] not in KINDS:
                _fail(f"{where}: unknown kind '{fields[1]}' (accepted: {', '.join(KINDS)})")
            z = _number(fields[2], where)
            if z != int(z):
                _fail(f"{where}: charge '{fields[2]}' is not an integer")
            m = _number(fields[3], where)
            if m <= 0:
                _fail(f"{where}: molar mass must be positive")
            if (fields[1] == "ion") != (z != 0):
                _fail(f"{where}: species '{name}' of kind {fields[1]} cannot have charge {int(z)}")
            kind[name], charge[name], mw[name] = fields[1], int(z), m
        for s in self.names:
            if s not in kind:
                _fail(f"[SPECIES] has no line for species '{s}'")
        waters = [s for s in self.names if kind[s] == "water"]
        if len(waters) != 1:
            _fail(f"[SPECIES] needs exactly one species of kind water, found {len(waters)}")
        for h in self.henry:
            if h not in self.pos:
                raise ValueError(f"Henry component '{h}' is not a species of the report")
            if kind[h] == "ion":
                raise ValueError(f"Henry component '{h}' is an ion")
            if kind[h] == "water":
                raise ValueError(f"Henry component '{h}' is the water of the report")
        if any(charge[s] > 0 for s in self.names) != any(charge[s] < 0 for s in self.names):
            _fail("[SPECIES] has ions of one sign only")
        return kind, charge, mw


def read_report(text, names, henry):
    """Parse a report into plain Python data (no model object yet)."""
    r = _Reader(text, names, henry)
    kind, charge, mw = r.species()
    names = r.names
    hset = set(r.henry)
    solvents = [s for s in names if kind[s] in ("water", "solvent") and s not in hset]
    molecules = [s for s in names if kind[s] != "ion"]
    ions = [s for s in names if kind[s] == "ion"]
    water = next(s for s in names if kind[s] == "water")

    def require(section, table, who, what):
        for s in who:
            if s not in table:
                _fail(f"[{section}] has no line for {what} '{s}'")

    born = {s: v[0] for s, v in r._keyed("BORN-RADIUS").items()}
    for s, v in born.items():
        if kind[s] != "ion":
            _fail(f"[BORN-RADIUS]: '{s}' is not an ion")
        if v <= 0:
            _fail(f"[BORN-RADIUS]: radius of '{s}' must be positive")
    require("BORN-RADIUS", born, ions, "ion")

    density = r._forms("SOLVENT-DENSITY", DENSITY_FORMS)
    dielectric = r._forms("SOLVENT-DIELECTRIC", DIELECTRIC_FORMS)
    for sec, table in (("SOLVENT-DENSITY", density), ("SOLVENT-DIELECTRIC", dielectric)):
        for s in table:
            if s not in solvents:
                _fail(f"[{sec}]: '{s}' is not a solvent")
        require(sec, table, solvents, "solvent")

    mol_pairs = {}
    for lineno, (i, j), nums in r._rows("NRTL-MOLECULE"):
        where = f"[NRTL-MOLECULE] line {lineno}"
        for s in (i, j):
            if kind[s] == "ion":
                _fail(f"{where}: '{s}' is an ion")
        if i == j:
            _fail(f"{where}: a molecule paired with itself")
        if (i, j) in mol_pairs or (j, i) in mol_pairs:
            _fail(f"{where}: pair '{i}'-'{j}' given twice")
        mol_pairs[(i, j)] = nums

    triples = {}
    for lineno, (m, c, a), nums in r._rows("NRTL-ELECTROLYTE"):
        where = f"[NRTL-ELECTROLYTE] line {lineno}"
        if kind[m] == "ion":
            _fail(f"{where}: '{m}' is not a molecule")
        if charge[c] <= 0:
            _fail(f"{where}: '{c}' is not a cation")
        if charge[a] >= 0:
            _fail(f"{where}: '{a}' is not an anion")
        if not nums[8] > 0:
            _fail(f"{where}: alpha must be positive")
        if (m, c, a) in triples:
            _fail(f"{where}: '{m}' with '{c}' '{a}' given twice")
        triples[(m, c, a)] = nums
    cations = [s for s in ions if charge[s] > 0]
    anions = [s for s in ions if charge[s] < 0]
    for m in molecules:
        tw, cw, al = DEFAULT_PAIR_WATER if kind[m] == "water" else DEFAULT_PAIR_OTHER
        for c in cations:
            for a in anions:
                triples.setdefault((m, c, a), [tw, 0, 0, 0, cw, 0, 0, 0, al])

    mixing = {}
    for lineno, (i, j, k), nums in r._rows("NRTL-MIXING"):
        where = f"[NRTL-MIXING] line {lineno}"
        for s in (i, j, k):
            if kind[s] != "ion":
                _fail(f"{where}: '{s}' is not an ion")
        if (charge[j] > 0) != (charge[k] > 0) or (charge[i] > 0) == (charge[j] > 0):
            _fail(f"{where}: expected a common ion and two ions of the other sign")
        if (i, j, k) in mixing or (i, k, j) in mixing:
            _fail(f"{where}: '{i}' with '{j}' '{k}' given twice")
        mixing[(i, j, k)] = nums

    dilute = {}
    for lineno, (m, c), nums in r._rows("NRTL-DILUTE"):
        where = f"[NRTL-DILUTE] line {lineno}"
        if m not in solvents:
            _fail(f"{where}: '{m}' is not a solvent")
        if kind[c] != "ion":
            _fail(f"{where}: '{c}' is not an ion")
        if (m, c) in dilute:
            _fail(f"{where}: '{m}' with '{c}' given twice")
        dilute[(m, c)] = nums

    dilute_pair = {}
    for lineno, (m, c, a), nums in r._rows("NRTL-DILUTE-PAIR"):
        where = f"[NRTL-DILUTE-PAIR] line {lineno}"
        if m not in solvents:
            _fail(f"{where}: '{m}' is not a solvent")
        if kind[c] != "ion" or charge[c] <= 0:
            _fail(f"{where}: '{c}' is not a cation")
        if kind[a] != "ion" or charge[a] >= 0:
            _fail(f"{where}: '{a}' is not an anion")
        if (m, c, a) in dilute_pair:
            _fail(f"{where}: '{m}' with '{c}' '{a}' given twice")
        dilute_pair[(m, c, a)] = nums

    antoine = {s: tuple(v[:7]) for s, v in r._keyed("VAPOR-PRESSURE").items()}
    require("VAPOR-PRESSURE", antoine, solvents, "solvent")

    henry = {}
    for lineno, (s, solv), nums in r._rows("HENRY"):
        where = f"[HENRY] line {lineno}"
        if kind[s] == "ion":
            _fail(f"{where}: solute '{s}' is an ion")
        if solv not in solvents:
            _fail(f"{where}: '{solv}' is not a solvent")
        if (s, solv) in henry:
            _fail(f"{where}: '{s}' in '{solv}' given twice")
        henry[(s, solv)] = tuple(nums[:5])
    for h in r.henry:
        if not any(k[0] == h for k in henry):
            _fail(f"[HENRY] has no line for Henry component '{h}'")

    vc = {s: v[0] for s, v in r._keyed("CRITICAL-VOLUME").items()}
    for s, v in vc.items():
        if kind[s] == "ion":
            _fail(f"[CRITICAL-VOLUME]: '{s}' is an ion")
        if v <= 0:
            _fail(f"[CRITICAL-VOLUME]: critical volume of '{s}' must be positive")
    require("CRITICAL-VOLUME", vc, solvents, "solvent")

    dhf = {s: v[0] for s, v in r._keyed("AQUEOUS-FORMATION-ENTHALPY").items()}
    require("AQUEOUS-FORMATION-ENTHALPY", dhf, ions, "ion")
    cp = r._keyed("AQUEOUS-HEAT-CAPACITY")
    pure = {}
    for s in names:
        if s in dhf or s in cp:
            pure[s] = {
                "tdep": {"CP_AQ": {"coeffs": list(cp[s])}} if s in cp else {},
                "scalar": {"DHF_AQ": [dhf[s]]} if s in dhf else {},
            }

    model = {
        "names": names,
        "kind": [kind[s] for s in names],
        "charge": [charge[s] for s in names],
        "mw": [mw[s] for s in names],
        "henry": list(r.henry),
        "water": water,
        "solvents": solvents,
        "born": born,
        "density": density,
        "dielectric": dielectric,
        "mol_pairs": mol_pairs,
        "triples": triples,
        "mixing": mixing,
        "dilute": dilute,
        "dilute_pair": dilute_pair,
    }
    data = {"antoine": antoine, "henry": henry, "vc": vc, "pure": pure}
    return model, data
