import logging

import pytest

from velmora import notices


def test_messages_are_formatted_logged_and_kept(caplog):
    log = notices.Log(maxlen=3)
    with caplog.at_level(logging.INFO, logger="velmora"):
        log.warning("Chemistry %s used; %s left out (one chemistry per model)", "K1", "K2, K3")
        log.info("%d true species, 100%% water", 4)
        log.info("no placeholders: 5%")
        log.warning("%s", ValueError("bad"))  # bounded: the oldest goes
    assert log.messages() == ["4 true species, 100% water", "no placeholders: 5%", "bad"]
    assert log.messages("WARNING") == ["bad"]
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records][1:] == [
        ("velmora", level, text) for level, text in log.records
    ]
    log.clear()
    assert log.messages() == []
    with pytest.raises(TypeError):  # a bad format fails at the caller
        log.info("%d species", "four")
