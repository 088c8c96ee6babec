"""Adaptive equalisation of NumPy arrays, bit-identical to the brisel filter.

``brisel.equalize`` runs the filter's engine on a whole image held in memory,
on several threads; ``brisel.dask.equalize`` carries it over the chunks of a
Dask array, on one machine or a ``distributed`` cluster.
"""

from __future__ import annotations

import numbers
import os
from typing import Optional, Tuple

import numpy as np

from . import _core

__all__ = ["equalize", "MIN_WIDTH", "__version__"]

__version__: str = _core.__version__

#: The narrowest image the filter takes, in pixels (the plug-in's own limit).
MIN_WIDTH: int = _core.MIN_WIDTH

_VALUE_RANGES = ("full", "host")


def _check_dtype(dtype: np.dtype) -> None:
    if dtype.kind == "u" and dtype.itemsize in (1, 2):
        if not dtype.isnative:
            raise TypeError(
                f"image dtype {dtype.str} is not in this machine's byte order: "
                "convert with image.astype(image.dtype.newbyteorder('='))")
        return
    if dtype.kind == "f":
        raise TypeError(
            f"image dtype {dtype} is floating point; brisel.equalize takes uint8 or uint16. "
            "Convert first, e.g. for values in 0..1: "
            "(np.clip(image, 0, 1) * 65535).round().astype(np.uint16) "
            "(or * 255 ... astype(np.uint8))")
    raise TypeError(
        f"image dtype {dtype} is not supported: brisel.equalize takes uint8 or uint16 "
        "(convert with image.astype(np.uint8) or image.astype(np.uint16) after scaling)")


def _is_stack(shape: Tuple[int, ...]) -> bool:
    """A stack of frames: 4-d, or 3-d with a last axis other than 3 or 4. A
    3-d array with a last axis of 3 or 4 is one colour image: a grey frame
    is at least MIN_WIDTH wide, so its last axis is never 3 or 4."""
    return len(shape) == 4 or (len(shape) == 3 and shape[2] not in (3, 4))


def _check_shape(shape: Tuple[int, ...]) -> None:
    frame = shape[1:] if _is_stack(shape) else shape
    if len(shape) not in (2, 3, 4) or (len(frame) == 3 and frame[2] not in (3, 4)) or \
            (len(shape) == 3 and frame[1] < MIN_WIDTH):
        raise ValueError(
            f"image shape {shape} is not supported: expected (H, W) grey, "
            "(H, W, 3) RGB or (H, W, 4) RGB plus a channel carried through, "
            "or a stack of such frames, (N, H, W) or (N, H, W, 3|4)")
    if frame is not shape and shape[0] == 0:
        raise ValueError(f"stack shape {shape} is empty: no frames")
    if frame[0] == 0 or frame[1] == 0:
        raise ValueError(f"image shape {shape} is empty: no rows or no columns")
    if frame[1] < MIN_WIDTH:
        raise ValueError(
            f"image is {frame[1]} pixels wide: the filter needs at least {MIN_WIDTH} "
            "(the plug-in refuses narrower areas)")


def _check_parameter(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    value = float(value)
    # Refused rather than clamped, as the command line refuses them: a value
    # out of range is a caller's mistake, not a request for the nearest end.
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"{name} must be a number from 0 to 1, not {value!r}")
    return value


def _check_threads(threads: Optional[int]) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:
            return max(1, os.cpu_count() or 1)
    if isinstance(threads, bool) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be 1 or more, not {threads}")
    return min(int(threads), 1024)


def _check_value_range(value_range: str) -> bool:
    if value_range not in _VALUE_RANGES:
        raise ValueError(f"value_range must be 'full' or 'host', not {value_range!r}")
    return value_range == "full"


def _check_parameters(*values: float) -> Tuple[float, ...]:
    """The parameters in the filter's order (_core.PARAMETERS), each checked."""
    return tuple(_check_parameter(name, value) for name, value in zip(_core.PARAMETERS, values))


def equalize(image: np.ndarray, alpha: float = 0.0, beta: float = 0.0, gamma: float = 0.0,
             delta: float = 0.0, *, threads: Optional[int] = None,
             out: Optional[np.ndarray] = None, value_range: str = "full") -> np.ndarray:
    """Equalise an image adaptively, exactly as the brisel filter does.

    Each pixel's intensity is replaced by its rank within a square window
    around it (15 x 15 down to 7 x 7 pixels), shaped by a contrast curve,
    and blended with the original. Colour images keep their chroma.

    Parameters
    ----------
    image : numpy.ndarray
        ``uint8`` or ``uint16`` array of shape (H, W) (grey), (H, W, 3) (RGB)
        or (H, W, 4) (RGB and a fourth channel, carried through unchanged),
        or a stack of such frames: (N, H, W) or (N, H, W, 3|4), each frame
        equalised on its own. A 3-d array is one colour image when its last
        axis is 3 or 4, else a stack of grey frames: a frame is at least 15
        pixels wide, so the shapes never overlap (a stack of 3 grey frames
        is (3, H, W)). Any strides (views, reversed or transposed arrays)
        are accepted.
    alpha : float, optional
        Neighbourhood, 0..1: larger values give a smaller window
        (radius ``trunc(7 - 4 alpha)``).
    beta : float, optional
        Fraction of the unprocessed image blended back, 0..1.
    gamma : float, optional
        Contrast curve, 0..1 (exponent ``1 / (gamma + 1)``).
    delta : float, optional
        Noise rejection, 0..1: weight of the 3 x 3 neighbour average.
    threads : int, optional
        Threads to run on; by default as many as the process may use. The
        result does not depend on it. A stack's frames are spread over them,
        each frame the same, bit for bit, as a call on that frame alone.
    out : numpy.ndarray, optional
        Array of the image's shape and dtype to write the result into (any
        strides). It may be the image itself: an ``out`` that shares memory
        with the image is computed through a temporary array.
    value_range : {"full", "host"}, optional
        For ``uint16`` only. ``"full"`` (default): samples span 0..65535; they
        are mapped to the filter's 0..32768 and back exactly as the brisel
        command-line host maps 16-bit files (rounded to nearest). ``"host"``:
        samples are already in the filter's 0..32768 range; a sample above
        32768 is read as 32768, as in the plug-in. Ignored for ``uint8``.

    Returns
    -------
    numpy.ndarray
        ``out`` if given, else a new C-contiguous array.

    Raises
    ------
    TypeError
        The image or ``out`` is not a ``uint8``/``uint16`` array in native
        byte order (floating-point input gets a hint on converting it), or a
        parameter is not a real number.
    ValueError
        The image is not one of the shapes above, has no frames, rows or
        columns, is narrower than 15 pixels (``MIN_WIDTH``: the plug-in
        refuses such areas, and so does this function); a parameter is NaN
        or outside 0..1; ``out`` has another shape or is read-only;
        ``threads`` is below 1; ``value_range`` is unknown.
    MemoryError
        The working memory (a few MiB a thread) or a thread could not be had.

    Notes
    -----
    Parameters outside 0..1, and NaN, are refused, as the command-line host
    refuses them. The GIL is released while the engine runs.
    Memory beyond the output: a few MiB a thread.

    Examples
    --------
    >>> import numpy as np, brisel
    >>> image = (np.arange(64 * 64) % 251).astype(np.uint8).reshape(64, 64)
    >>> brisel.equalize(image, alpha=0.25, beta=0.1).shape
    (64, 64)
    >>> brisel.equalize(np.stack([image, image.T]), alpha=0.25).shape
    (2, 64, 64)
    """
    if not isinstance(image, np.ndarray):
        image = np.asarray(image)
    _check_dtype(image.dtype)
    _check_shape(image.shape)
    parameters = _check_parameters(alpha, beta, gamma, delta)
    threads = _check_threads(threads)
    full_range = _check_value_range(value_range)
    if _is_stack(image.shape):
        return _equalize_stack(image, parameters, threads, out, full_range)
    return _equalize_checked(image, parameters, threads, out, full_range)


def _check_out(image: np.ndarray, out: np.ndarray) -> None:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy.ndarray, not {type(out).__name__}")
    if out.dtype != image.dtype:
        raise TypeError(f"out has dtype {out.dtype}, the image {image.dtype}")
    if out.shape != image.shape:
        raise ValueError(f"out has shape {out.shape}, the image {image.shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")


def _equalize_stack(image: np.ndarray, parameters: Tuple[float, ...],
                    threads: int, out: Optional[np.ndarray], full_range: bool) -> np.ndarray:
    """Each frame on its own, the frames spread over the threads (and a
    frame's rows over what is left of them when there are fewer frames)."""
    if out is None:
        out = np.empty(image.shape, dtype=image.dtype)
    else:
        _check_out(image, out)
        if np.may_share_memory(image, out):
            # A frame's output may lie over another frame still being read.
            out[...] = _equalize_stack(image, parameters, threads, None, full_range)
            return out
    frames = image.shape[0]
    workers = min(threads, frames)
    each = max(1, threads // workers)

    def run(index: int) -> None:
        _equalize_checked(image[index], parameters, each, out[index], full_range)

    if workers == 1:
        for index in range(frames):
            run(index)
    else:
        from concurrent.futures import ThreadPoolExecutor
        # The engine releases the GIL, so the frames run at once.
        with ThreadPoolExecutor(max_workers=workers) as pool:
            for _ in pool.map(run, range(frames)):
                pass
    return out


def _equalize_checked(image: np.ndarray, parameters: Tuple[float, ...],
                      threads: int, out: Optional[np.ndarray], full_range: bool) -> np.ndarray:
    # Arrays whose strides are not whole samples (views into records) or whose
    # data is misaligned are copied; ascontiguousarray alone would hand back a
    # misaligned array that is already C-contiguous unchanged.
    if image.strides and any(s % image.itemsize for s in image.strides) or not image.flags.aligned:
        image = np.require(image, requirements=["A", "C"])
    if out is None:
        out = np.empty(image.shape, dtype=image.dtype)
        _core.equalize_into(image, out, parameters, threads, full_range)
        return out
    _check_out(image, out)
    if np.may_share_memory(image, out) or any(s % out.itemsize for s in out.strides) \
            or not out.flags.aligned:
        result = np.empty(image.shape, dtype=image.dtype)
        _core.equalize_into(image, result, parameters, threads, full_range)
        out[...] = result
        return out
    _core.equalize_into(image, out, parameters, threads, full_range)
    return out


def __dir__():
    # The package's own names, not the modules and helpers it uses inside.
    return sorted(__all__ + ["dask"])


def __getattr__(name: str):
    # brisel.dask without importing it first (it needs Dask, which brisel does not).
    if name == "dask":
        import importlib
        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
