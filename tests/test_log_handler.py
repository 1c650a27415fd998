"""The core's log lines sent to a Python handler and to Python's logging."""

import logging
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _vesk
import vesk
from _vesk import io, tf


@pytest.fixture
def handler():
    lines = []
    previous = _vesk.set_log_handler(lambda level, message: lines.append((level, message, threading.get_ident())))
    yield lines
    _vesk.set_log_handler(previous)


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_lines_reach_the_handler_not_stderr_and_none_restores_stderr():
    proc = run("""
        import _vesk
        from _vesk import tf
        half_turns = [tf.pose_to_transformation_matrix([0, 0, 0, 180, 0, 0]), tf.pose_to_transformation_matrix([0] * 6)]
        got = []
        _vesk.set_log_handler(lambda level, message: got.append((level, message)))
        tf.average_pose(half_turns)
        assert _vesk.set_log_handler(None) is not None
        print(got)
        tf.average_pose(half_turns)
    """)
    assert proc.returncode == 0, proc.stderr
    got = eval(proc.stdout)
    assert len(got) == 1 and got[0][0] == "WARNING" and not got[0][1].startswith("[vesk]")
    assert proc.stderr == f"[vesk][WARNING] {got[0][1]}\n"  # only the line after None


def test_lines_of_a_call_without_the_lock_arrive_on_the_calling_thread_in_order(handler, tmp_path):
    images = [np.full((60, 80, 3), 40 * k, np.uint8) for k in range(3)]
    io.save_hand_eye_dataset(tmp_path, images, [np.eye(4)] * 3)
    with _vesk.thread_limit(2):
        io.load_hand_eye_dataset(tmp_path)                          # released the lock
        r = _vesk.IntrinsicCalibrator(_vesk.ChessboardTarget((9, 6), 0.025)).calibrate(images)  # views on 2 threads
    assert not r.ok
    assert [(level, message.split()[0]) for level, message, _ in handler[:2]] == [("SUCCESS", "Saved"),
                                                                                  ("SUCCESS", "Loaded")]
    assert "WARNING" in [level for level, _, _ in handler[2:]]
    assert {ident for _, _, ident in handler} == {threading.get_ident()}


@pytest.mark.parametrize("failure", ["raise ValueError('broken handler')", "_vesk.set_log_handler(None)",
                                     "tf.average_pose(half_turns)"])
def test_a_failing_or_reentrant_handler_leaves_the_line_on_stderr(failure):
    proc = run(f"""
        import _vesk
        from _vesk import tf
        half_turns = [tf.pose_to_transformation_matrix([0, 0, 0, 180, 0, 0]), tf.pose_to_transformation_matrix([0] * 6)]
        calls = []
        def handler(level, message):
            calls.append(level)
            {failure}
        _vesk.set_log_handler(handler)
        tf.average_pose(half_turns)
        print(len(calls))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "1\n"
    if failure.startswith("raise"):  # not delivered: on stderr, with the handler's exception
        assert "[vesk][WARNING]" in proc.stderr and "ValueError: broken handler" in proc.stderr
    elif "average_pose" in failure:  # the handler's own line is not sent back to it
        assert proc.stderr.count("[vesk][WARNING]") == 1


def test_lines_at_interpreter_exit_reach_the_handler_until_the_module_closes_then_stderr():
    # exit functions run last-registered first: the one registered after the import runs before the
    # module lets go of its handler, the one registered before the import after it
    proc = run("""
        import atexit, sys
        atexit.register(lambda: tf.average_pose(half_turns))
        import _vesk
        from _vesk import tf
        half_turns = [tf.pose_to_transformation_matrix([0, 0, 0, 180, 0, 0]), tf.pose_to_transformation_matrix([0] * 6)]
        _vesk.set_log_handler(lambda level, message: sys.stdout.write(level + "\\n"))
        atexit.register(lambda: tf.average_pose(half_turns))
    """)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == "WARNING\n"
    assert proc.stderr.startswith("[vesk][WARNING] ") and proc.stderr.count("\n") == 1


def test_log_to_logging_uses_the_vesk_logger(caplog):
    previous = vesk.log_to_logging()
    try:
        with caplog.at_level(logging.DEBUG, logger="vesk"):
            tf.average_pose([tf.pose_to_transformation_matrix([0, 0, 0, 180, 0, 0]), np.eye(4)])
    finally:
        _vesk.set_log_handler(previous)
    assert [(r.name, r.levelno) for r in caplog.records] == [("vesk", logging.WARNING)]


def test_a_handler_must_be_callable():
    with pytest.raises(TypeError):
        _vesk.set_log_handler(42)
