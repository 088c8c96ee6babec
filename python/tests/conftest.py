"""Shared fixtures of the brisel Python tests; a run that collects no test fails."""

import numpy as np
import pytest


def pytest_collection_finish(session):
    # Exit code 5 (nothing collected) must never pass for success in a script
    # that only checks for non-zero codes: turn it into a usage error.
    if not session.items:
        raise pytest.UsageError("no brisel test was collected")


def make_image(shape, dtype, seed=0, top=None):
    """A photo-like test image: ramps, a hard edge and noise, full range of the dtype."""
    rng = np.random.default_rng(seed)
    top = np.iinfo(dtype).max if top is None else top
    h, w = shape[:2]
    y, x = np.mgrid[0:h, 0:w]
    base = (x * 7 + y * 3) % (w + h) / (w + h) * top * 0.6
    base = base + np.where(x > w // 2, top * 0.3, 0) + rng.integers(0, top // 10 + 1, (h, w))
    if len(shape) == 3:
        base = base[..., None] + np.arange(shape[2]) * (top // 9)
        base = base + rng.integers(0, top // 20 + 1, shape)
    return np.clip(base, 0, top).astype(dtype)
