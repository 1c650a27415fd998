"""Scenes shared across test files, rendered once per session."""

import functools

import pytest

from vesk_testing import scenes


def _cached(builder, doc):
    """A session fixture handing out `builder`, each scene built once."""

    @pytest.fixture(scope="session")
    def fixture():
        return functools.cache(builder)

    fixture.__doc__ = doc
    return fixture


series = _cached(scenes.hand_eye_series, "series(kind, single_axis=False) -> (truth, images, target) of a hand-eye series.")
rig = _cached(scenes.rig_scene, "rig(kind) -> (truth, image lists, target) of a 3-camera rig.")
noisy_views = _cached(scenes.noisy_charuco_views, "noisy_views(n=12) -> (images, target) of noisy ChArUco views.")
intrinsic_scenes = _cached(scenes.IntrinsicScene, "intrinsic_scenes(kind) -> IntrinsicScene of 16 views.")


def _failure_codes():
    """The codes of the README's failure table."""
    import pathlib
    import re

    readme = pathlib.Path(__file__).resolve().parents[1] / "README.md"
    if not readme.exists():
        return None
    text = readme.read_text(encoding="utf-8")
    table = text.split("## Why a result failed", 1)[1].split("\n## ", 1)[0]
    return {code for line in table.splitlines() if line.startswith("| `")
            for code in re.findall(r"`([a-z_]+)`", line.split("|")[1])}


def _guard_ok(cls, codes):
    """Every `ok` a test reads agrees with `failure`: None when ok, else a code from the README's table."""
    plain = cls.__dict__["ok"]

    def ok(self):
        value = plain.__get__(self, cls)
        failure = self.failure
        assert (failure is None) == bool(value), f"{cls.__name__}: ok={value} but failure={failure!r}"
        assert failure is None or codes is None or failure.code in codes, f"{failure.code!r} is not in the README"
        return value

    cls.ok = property(ok, doc=plain.__doc__)


def pytest_configure(config):
    import _vesk

    codes = _failure_codes()
    for cls in (_vesk.IntrinsicResult, _vesk.HandEyeResult, _vesk.EyeToHandResult, _vesk.MultiCameraResult,
                _vesk.HandEyeJointSolve):
        _guard_ok(cls, codes)
