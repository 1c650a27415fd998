"""Scenes shared across test files, rendered once per session."""

import functools

import pytest

from vesk_testing import scenes


@pytest.fixture(scope="session")
def series():
    """series(kind, single_axis=False) -> (truth, images, target) of a hand-eye series."""
    return functools.cache(scenes.hand_eye_series)


@pytest.fixture(scope="session")
def rig():
    """rig(kind) -> (truth, image lists, target) of a 3-camera rig."""
    return functools.cache(scenes.rig_scene)


@pytest.fixture(scope="session")
def noisy_views():
    """noisy_views(n=12) -> (images, target) of noisy ChArUco views."""
    return functools.cache(scenes.noisy_charuco_views)


@pytest.fixture(scope="session")
def intrinsic_scenes():
    """intrinsic_scenes(kind) -> IntrinsicScene of 16 views."""
    return functools.cache(scenes.IntrinsicScene)
