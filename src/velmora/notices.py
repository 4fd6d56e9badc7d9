"""The package's message log: what a flowsheet tells its user (which chemistry is used, which is
left out and why).

Messages are given as a %-format and its values, like the logging module: they are formatted
once, passed on to Python's logging under the logger "velmora" and kept, newest last, in a
bounded in-memory list that a caller (a GUI, a test) can read.
"""

import logging
from collections import deque, namedtuple

Notice = namedtuple("Notice", "level text")


class Log:
    """A message log that keeps its last `maxlen` messages."""

    def __init__(self, name="velmora", maxlen=500):
        self.logger = logging.getLogger(name)
        self.records = deque(maxlen=maxlen)

    def warning(self, fmt, *args):
        self._emit(logging.WARNING, fmt, args)

    def info(self, fmt, *args):
        self._emit(logging.INFO, fmt, args)

    def messages(self, level=None):
        """The texts kept, oldest first; only those of `level` ("WARNING", "INFO") if given."""
        return [r.text for r in self.records if level is None or r.level == level]

    def clear(self):
        self.records.clear()

    def _emit(self, level, fmt, args):
        # Formatting here (not lazily in logging) makes a bad format fail at the caller.
        text = fmt % args if args else fmt
        self.records.append(Notice(logging.getLevelName(level), text))
        self.logger.log(level, fmt, *args)


log = Log()
