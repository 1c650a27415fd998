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
