"""Adaptive equalisation of Dask arrays, chunk by chunk, bit-identical to ``brisel.equalize``."""

from __future__ import annotations

from typing import Tuple

import numpy as np

from . import (_check_dtype, _check_parameters, _check_shape, _check_threads,
               _check_value_range, _equalize_checked)

__all__ = ["equalize", "DEPTH"]

#: Rows and columns of overlap each chunk takes from its neighbours: the
#: largest window radius, so any parameters give the whole-image result.
DEPTH: int = 7


def _merge_small_chunks(chunks: Tuple[int, ...], least: int) -> Tuple[int, ...]:
    """Chunk sizes along one axis with every chunk at least ``least`` long,
    small chunks merged into the next (the last into the one before)."""
    merged = []
    pending = 0
    for size in chunks:
        pending += size
        if pending >= least:
            merged.append(pending)
            pending = 0
    if pending:
        if merged:
            merged[-1] += pending
        else:
            merged.append(pending)
    return tuple(merged)


def _equalize_block(block: np.ndarray, parameters: Tuple[float, float, float, float],
                    threads: int, full_range: bool) -> np.ndarray:
    # A block with its overlap may be narrower than the filter's minimum at the
    # array's edges; the whole image was checked, and the engine takes any width.
    if block.size == 0:
        return block.copy()
    return _equalize_checked(block, parameters, threads, None, full_range)


def equalize(array, alpha: float = 0.0, beta: float = 0.0, gamma: float = 0.0,
             delta: float = 0.0, *, threads: int = 1, value_range: str = "full"):
    """Equalise a Dask array lazily, chunk by chunk, exactly as ``brisel.equalize``.

    Each chunk is equalised with ``DEPTH`` (7) rows and columns of overlap
    from its neighbours (``map_overlap``, no padding at the array's own
    edges), so the result equals ``brisel.equalize`` on the whole image,
    bit for bit, for any chunking.

    Parameters
    ----------
    array : dask.array.Array or array_like
        ``uint8`` or ``uint16``, shape (H, W), (H, W, 3) or (H, W, 4), as for
        ``brisel.equalize``.
    alpha, beta, gamma, delta : float, optional
        The filter's parameters, 0..1; clamped, NaN taken as 0.
    threads : int, optional
        Threads for each chunk (default 1: Dask runs chunks in parallel).
    value_range : {"full", "host"}, optional
        As for ``brisel.equalize``.

    Returns
    -------
    dask.array.Array
        Lazy result with the array's shape, dtype and chunks, except that
        chunks shorter than ``DEPTH`` along the image axes are merged with a
        neighbour and the channel axis is one chunk.

    Raises
    ------
    TypeError, ValueError
        As ``brisel.equalize``, checked when called, not when computed.

    Notes
    -----
    ``map_overlap`` needs every chunk at least as long as the overlap; chunks
    smaller than ``DEPTH`` (7) pixels are therefore merged with the next one
    (the last with the one before) rather than refused, which changes only
    the chunking, never the result.
    """
    import dask.array as da

    if not isinstance(array, da.Array):
        array = da.asarray(array)
    dtype = np.dtype(array.dtype)
    _check_dtype(dtype)
    if any(np.isnan(size) for size in array.shape):
        raise ValueError("array has unknown chunk sizes: call array.compute_chunk_sizes() first")
    _check_shape(tuple(int(size) for size in array.shape))
    parameters = _check_parameters(alpha, beta, gamma, delta)
    threads = _check_threads(threads)
    full_range = _check_value_range(value_range)

    chunks = list(array.chunks)
    depth = {axis: 0 for axis in range(array.ndim)}
    for axis in (0, 1):
        chunks[axis] = _merge_small_chunks(chunks[axis], DEPTH)
        if len(chunks[axis]) > 1:
            depth[axis] = DEPTH
    if array.ndim == 3:
        chunks[2] = (array.shape[2],)
    if tuple(chunks) != array.chunks:
        array = array.rechunk(tuple(chunks))
    return array.map_overlap(_equalize_block, depth=depth, boundary="none", trim=True,
                             dtype=dtype, meta=np.empty((0,) * array.ndim, dtype=dtype),
                             parameters=parameters, threads=threads, full_range=full_range)
