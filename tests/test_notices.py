import logging

import pytest

from velmora import notices


def test_messages_are_formatted_logged_and_kept(caplog):
    log = notices.Log(maxlen=3)
    with caplog.at_level(logging.INFO, logger="velmora"):
        log.warning("Chemistry %s used; %s left out (one chemistry per model)", "K1", "K2, K3")
        log.info("%d true species, 100%% water", 4)
        log.info("no placeholders: 5%")
    assert log.messages() == ["Chemistry K1 used; K2, K3 left out (one chemistry per model)",
                              "4 true species, 100% water", "no placeholders: 5%"]
    assert log.messages("WARNING") == log.messages()[:1]
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("velmora", level, text) for level, text in log.records]
    # Bounded: the oldest goes first.
    log.warning("%s", ValueError("bad"))
    assert log.messages() == ["4 true species, 100% water", "no placeholders: 5%", "bad"]
    log.clear()
    assert log.messages() == []


def test_a_bad_format_fails_at_the_caller():
    with pytest.raises(TypeError):
        notices.Log().info("%d species", "four")
