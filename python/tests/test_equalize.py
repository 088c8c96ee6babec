"""brisel.equalize: threads, views and out arrays, the 16-bit ranges, and bad input."""

import math

import numpy as np
import pytest

import brisel
from conftest import make_image

SHAPES = [(61, 47), (61, 47, 3), (61, 47, 4)]


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16])
@pytest.mark.parametrize("shape", SHAPES)
def test_threads_views_and_out_agree(dtype, shape):
    image = make_image(shape, dtype, seed=3)
    params = (0.3, 0.2, 0.5, 0.4)
    one = brisel.equalize(image, *params, threads=1)
    assert one.dtype == dtype and one.shape == image.shape and one.flags.c_contiguous
    assert not np.array_equal(one, image)
    for threads in (2, 3, 64):
        np.testing.assert_array_equal(brisel.equalize(image, *params, threads=threads), one)
    # A reversed, Fortran-ordered view gives the reversed result, and a
    # strided out is filled in place.
    view = np.asfortranarray(image)[::-1, ::-1]
    out = np.zeros((shape[0], shape[1] * 2) + shape[2:], dtype=dtype)[:, ::2]
    returned = brisel.equalize(view, *params, threads=2, out=out)
    assert returned is out
    np.testing.assert_array_equal(out, brisel.equalize(np.ascontiguousarray(view), *params))
    if len(shape) == 3 and shape[2] == 4:
        np.testing.assert_array_equal(one[..., 3], image[..., 3])
        np.testing.assert_array_equal(one[..., :3], brisel.equalize(image[..., :3], *params))


def test_out_may_be_the_image():
    image = make_image((80, 40, 3), np.uint8, seed=5)
    expected = brisel.equalize(image, 0.5)
    same = image.copy()
    assert brisel.equalize(same, 0.5, out=same, threads=2) is same
    np.testing.assert_array_equal(same, expected)


def test_sixteen_bit_ranges():
    image = make_image((40, 33), np.uint16, seed=8)
    image[0, 0], image[0, 1] = 65535, 0
    full = brisel.equalize(image, 0.1, 0.4)
    # Full range: the command-line host's mapping around the host range.
    to_host = ((image.astype(np.uint64) * 32768 + 32767) // 65535).astype(np.uint16)
    host = brisel.equalize(to_host, 0.1, 0.4, value_range="host")
    assert host.max() <= 32768
    np.testing.assert_array_equal(
        full, ((host.astype(np.uint64) * 65535 + 16384) // 32768).astype(np.uint16))
    # Host range: samples above 32768 are read as 32768.
    np.testing.assert_array_equal(brisel.equalize(image, 0.1, 0.4, value_range="host"),
                                  brisel.equalize(np.minimum(image, 32768), 0.1, 0.4,
                                                  value_range="host"))


def test_parameters_outside_zero_to_one_are_refused_by_name():
    # As the command line refuses them; the ends themselves are taken.
    image = make_image((30, 30), np.uint8, seed=1)
    for name, value in [("alpha", 5.0), ("beta", 1.0000001), ("gamma", -1e-9),
                        ("delta", math.nan), ("alpha", math.inf), ("beta", np.float32(-0.5))]:
        with pytest.raises(ValueError) as raised:
            brisel.equalize(image, **{name: value})
        assert f"{name} must be a number from 0 to 1" in str(raised.value)
    assert brisel.equalize(image, 0.0, 0.0, 1.0, np.float32(0.5)).shape == image.shape
    np.testing.assert_array_equal(brisel.equalize(image, beta=1.0), image)


def test_views_with_unpacked_channels_equal_a_packed_copy():
    # Reversed channels, a channel picked out of a wider pixel, planes moved
    # to the last axis, and a misaligned but C-contiguous 16-bit buffer.
    params = (0.3, 0.2, 0.5, 0.4)
    for dtype in (np.uint8, np.uint16):
        rgba = make_image((37, 29, 4), dtype, seed=12)
        planar = np.ascontiguousarray(np.moveaxis(rgba, 2, 0))
        views = [rgba[..., ::-1], rgba[..., 2::-1], rgba[..., :3], rgba[..., 1:],
                 np.moveaxis(planar, 0, -1), np.moveaxis(planar[:3], 0, -1)[:, ::-1],
                 rgba[..., 0], rgba[:, ::2, 1]]
        for view in views:
            packed = np.ascontiguousarray(view)
            np.testing.assert_array_equal(brisel.equalize(view, *params),
                                          brisel.equalize(packed, *params))
    image = make_image((23, 31, 3), np.uint16, seed=4)
    raw = np.zeros(image.nbytes + 1, np.uint8)
    misaligned = raw[1:].view(np.uint16).reshape(image.shape)
    misaligned[...] = image
    assert misaligned.flags.c_contiguous and not misaligned.flags.aligned
    expected = brisel.equalize(image, *params)
    np.testing.assert_array_equal(brisel.equalize(misaligned, *params), expected)
    out_raw = np.zeros(image.nbytes + 1, np.uint8)
    out = out_raw[1:].view(np.uint16).reshape(image.shape)
    assert brisel.equalize(misaligned, *params, out=out) is out
    np.testing.assert_array_equal(out, expected)


def test_every_sixteen_bit_value_at_beta_one_is_the_documented_round_trip():
    # At beta 1 the result is the original, as the filter's range holds it:
    # host = (v * 32768 + 32767) // 65535, back = (host * 65535 + 16384) // 32768.
    values = np.arange(65536, dtype=np.uint16).reshape(256, 256)
    v = values.astype(np.int64)
    host = (v * 32768 + 32767) // 65535
    np.testing.assert_array_equal(brisel.equalize(values, 0.4, 1.0, 0.6, 0.3),
                                  (host * 65535 + 16384) // 32768)
    np.testing.assert_array_equal(
        brisel.equalize(host.astype(np.uint16), 0.4, 1.0, 0.6, 0.3, value_range="host"), host)
    np.testing.assert_array_equal(brisel.equalize(values, beta=1.0, value_range="host"),
                                  np.minimum(v, 32768))


def test_version_is_the_projects():
    import pathlib
    import re
    cmake = pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt"
    assert re.search(r"project\(brisel VERSION ([0-9.]+)", cmake.read_text()).group(1) == \
        brisel.__version__


GREY = np.zeros((20, 20), np.uint8)


@pytest.mark.parametrize("image, error, words", [
    (np.uint8(3), ValueError, "shape ()"),
    (np.zeros(20, np.uint8), ValueError, "shape (20,)"),
    (np.zeros((20, 20, 3, 1), np.uint8), ValueError, "shape (20, 20, 3, 1)"),
    (np.zeros((20, 20, 2), np.uint8), ValueError, "(H, W, 3)"),
    (np.zeros((0, 20), np.uint8), ValueError, "empty"),
    (np.zeros((20, 0), np.uint8), ValueError, "empty"),
    (np.zeros((20, 14), np.uint8), ValueError, "at least 15"),
    (np.zeros((20, 20), np.float32), TypeError, "astype(np.uint16)"),
    (np.zeros((20, 20), np.int16), TypeError, "int16"),
    (np.zeros((20, 20), ">u2"), TypeError, "byte order"),
])
def test_bad_images(image, error, words):
    with pytest.raises(error) as raised:
        brisel.equalize(image)
    assert words in str(raised.value)


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(alpha="0.5"), TypeError, "alpha"),
    (dict(delta=None), TypeError, "delta"),
    (dict(threads=0), ValueError, "threads"),
    (dict(threads=1.5), TypeError, "threads"),
    (dict(value_range="wide"), ValueError, "value_range"),
    (dict(out=np.zeros((20, 21), np.uint8)), ValueError, "shape"),
    (dict(out=np.zeros((20, 20), np.uint16)), TypeError, "dtype"),
    (dict(out=np.broadcast_to(np.uint8(0), (20, 20))), ValueError, "read-only"),
    (dict(out=[[0] * 20] * 20), TypeError, "numpy.ndarray"),
])
def test_bad_arguments(kwargs, error, words):
    with pytest.raises(error) as raised:
        brisel.equalize(GREY, **kwargs)
    assert words in str(raised.value)


def test_concurrent_calls_from_python_threads():
    # The GIL is released while the engine runs: calls overlap and stay exact.
    from concurrent.futures import ThreadPoolExecutor
    images = [make_image((90, 70, 3), np.uint16, seed=s) for s in range(6)]
    expected = [brisel.equalize(image, 0.4, threads=1) for image in images]
    with ThreadPoolExecutor(3) as pool:
        results = list(pool.map(lambda image: brisel.equalize(image, 0.4, threads=2), images))
    for result, want in zip(results, expected):
        np.testing.assert_array_equal(result, want)


@pytest.mark.parametrize("frame, dtype", [((41, 33), np.uint8), ((41, 33, 3), np.uint16),
                                          ((20, 15, 4), np.uint8)])
def test_stack_frame_by_frame(frame, dtype):
    stack = np.stack([make_image(frame, dtype, seed=s) for s in range(5)])
    params = (0.3, 0.2, 0.5, 0.4)
    alone = np.stack([brisel.equalize(f, *params, threads=1) for f in stack])
    # More threads than frames, fewer, one; a reversed view; out the stack itself.
    for threads in (1, 2, 8):
        np.testing.assert_array_equal(brisel.equalize(stack, *params, threads=threads), alone)
    np.testing.assert_array_equal(brisel.equalize(stack[::-1], *params, threads=3), alone[::-1])
    same = stack.copy()
    assert brisel.equalize(same, *params, out=same, threads=2) is same
    np.testing.assert_array_equal(same, alone)
    flipped = stack.copy()  # out over the input in another frame order
    brisel.equalize(flipped, *params, out=flipped[::-1], threads=2)
    np.testing.assert_array_equal(flipped[::-1], alone)


def test_three_axes_are_one_colour_image_only_with_3_or_4_last():
    colour = make_image((30, 40, 3), np.uint8, seed=1)
    per_channel = np.stack([brisel.equalize(colour[..., c], 0.4) for c in range(3)], axis=-1)
    assert not np.array_equal(brisel.equalize(colour, 0.4), per_channel)  # chroma kept, not split
    grey3 = make_image((3, 30, 40), np.uint8, seed=1)  # three grey frames
    np.testing.assert_array_equal(brisel.equalize(grey3, 0.4)[1], brisel.equalize(grey3[1], 0.4))
    with pytest.raises(ValueError, match=r"\(N, H, W\)"):
        brisel.equalize(np.zeros((4, 30, 5), np.uint8))  # neither: frames too narrow
    with pytest.raises(ValueError, match="no frames"):
        brisel.equalize(np.zeros((0, 30, 40), np.uint8))


def test_dir_shows_the_package_names_only():
    assert dir(brisel) == ["MIN_WIDTH", "__version__", "dask", "equalize"]
    assert brisel.dask.equalize is not None
