"""vesk: camera calibration for robot cells.

The computing is in the compiled core, `_vesk`; this package holds what sits beside it: robot pose
conventions (`vesk.tf`), pose and image files (`vesk.io`), files for ROS 2 and robot programs
(`vesk.ros`), the `vesk` command (`vesk.cli`) and the HTML report (`vesk.report`, which needs
matplotlib and opencv-python-headless). `vesk.tf` and `vesk.io` also hold everything of `_vesk.tf`
and `_vesk.io`, so `from vesk import tf, io` is the one import a script needs for both.
"""

from __future__ import annotations

import logging as _logging

__all__ = ["log_to_logging"]

# SUCCESS is the core's "done" line: INFO to Python.
_LEVELS = {"DEBUG": _logging.DEBUG, "INFO": _logging.INFO, "WARNING": _logging.WARNING,
           "ERROR": _logging.ERROR, "SUCCESS": _logging.INFO}


def log_to_logging(logger="vesk"):
    """Send the core's log lines to Python's logging (a Logger, or its name; "vesk" by default)
    instead of stderr. Returns the handler it replaced, for `_vesk.set_log_handler(previous)`."""
    import _vesk

    target = logger if isinstance(logger, _logging.Logger) else _logging.getLogger(logger)

    def handler(level: str, message: str) -> None:
        target.log(_LEVELS.get(level, _logging.INFO), message)

    return _vesk.set_log_handler(handler)
