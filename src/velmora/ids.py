"""Species names as the databank spells them: shared by `velmora.system` (chemistries, gases)
and `velmora.checks` (the names of a composition), so that neither imports the other."""

from typing import Any

from .errors import ChemistryError


def databank_id(name: object, db: Any) -> str:
    """The databank id of a species given by id or plain name, in any case (``db``: the
    ``velmora.enginebridge.databank`` module). ChemistryError when the databank has none."""
    key = str(name).strip().upper()
    tab = db.table("substances")
    for sid, rec in tab.items():
        if sid.upper() == key or str(rec.get("name", "")).upper() == key:
            return sid
    raise ChemistryError(f"unknown species {name!r}: not in the databank (known: {', '.join(tab)})")
