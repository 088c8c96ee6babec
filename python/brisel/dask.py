"""Adaptive equalisation of Dask arrays, chunk by chunk, bit-identical to ``brisel.equalize``."""

from __future__ import annotations

import threading
from typing import Optional, Tuple

import numpy as np

from . import (_check_dtype, _check_parameters, _check_shape, _check_threads,
               _check_value_range, _core, _is_stack)

__all__ = ["equalize", "DEPTH"]

#: Rows and columns of overlap each chunk takes from its neighbours: the
#: largest window radius, so any parameters give the whole-image result.
DEPTH: int = _core.HALO


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


# A worker thread frames chunk after chunk in one buffer of its own, up to
# this size: memory it has already mapped, not fresh pages for every chunk.
_KEPT_TILE_BYTES = 16 << 20
_scratch = threading.local()


def _tile_buffer(shape: Tuple[int, ...], dtype: np.dtype) -> np.ndarray:
    size = int(np.prod(shape)) * dtype.itemsize
    if size > _KEPT_TILE_BYTES:
        return np.empty(shape, dtype=dtype)
    buffer = getattr(_scratch, "tile", None)
    if buffer is None or buffer.size < size:
        buffer = _scratch.tile = np.empty(size, dtype=np.uint8)
    return buffer[:size].view(dtype).reshape(shape)


# The eight neighbours of a chunk, in the order the tile task takes their strips.
_NEIGHBOURS = ((-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1))


def _checked_chunk(block, index: Tuple[int, int], shape: Tuple[int, ...],
                   dtype: np.dtype) -> np.ndarray:
    """The chunk at ``index`` as the array declared it; a chunk of another
    dtype or shape would otherwise wrap into the tile or shift its neighbours."""
    block = np.asarray(block)
    if block.dtype != dtype:
        raise TypeError(f"chunk {index} has dtype {block.dtype}, the array declares {dtype}")
    if block.shape != shape:
        raise ValueError(f"chunk {index} has shape {block.shape}, the array declares {shape}")
    return block


def _halo_strips(block: np.ndarray) -> Tuple[np.ndarray, ...]:
    """The DEPTH rows and columns along each side of a chunk that its
    neighbours need: top, bottom, left, right (corners are in the row strips).
    Copies, so that a neighbour holds a few KiB and not the whole chunk."""
    return (block[:DEPTH].copy(), block[-DEPTH:].copy(), block[:, :DEPTH].copy(),
            block[:, -DEPTH:].copy())


def _equalize_tile(block: np.ndarray, strips: Tuple[Optional[Tuple[np.ndarray, ...]], ...],
                   parameters: Tuple[float, ...], threads: int,
                   full_range: bool) -> np.ndarray:
    """A chunk equalised as its part of the whole array: the chunk framed by
    its neighbours' strips (none past the array's edges, which the engine
    repeats as it does for the whole image), only the chunk written out."""
    ul, up, ur, left, right, dl, down, dr = strips
    rows, columns = block.shape[:2]
    top = DEPTH if up is not None else 0
    bottom = DEPTH if down is not None else 0
    before = DEPTH if left is not None else 0
    after = DEPTH if right is not None else 0
    tile = _tile_buffer((top + rows + bottom, before + columns + after) + block.shape[2:],
                        block.dtype)
    middle = slice(before, before + columns)
    tile[top:top + rows, middle] = block
    if top:
        tile[:top, middle] = up[1]
        if before:
            tile[:top, :before] = ul[1][:, -DEPTH:]
        if after:
            tile[:top, before + columns:] = ur[1][:, :DEPTH]
    if bottom:
        tile[top + rows:, middle] = down[0]
        if before:
            tile[top + rows:, :before] = dl[0][:, -DEPTH:]
        if after:
            tile[top + rows:, before + columns:] = dr[0][:, :DEPTH]
    if before:
        tile[top:top + rows, :before] = left[3]
    if after:
        tile[top:top + rows, before + columns:] = right[2]
    out = np.empty(block.shape, dtype=block.dtype)
    # The tile may be narrower than the filter's minimum at the array's edges;
    # the whole array was checked, and the engine takes any width.
    _core.equalize_into(tile, out, parameters, threads, full_range, top, before)
    return out


def _tile_graph(array, parameters: Tuple[float, ...], threads: int,
                full_range: bool):
    """Two tasks a chunk: one cuts its halo strips, one equalises it framed
    by its neighbours' strips."""
    return _framed_chunk_graph(array, _equalize_tile, parameters, threads, full_range)


def _framed_chunk_graph(array, tile_task, parameters: Tuple[float, ...],
                        threads: int, full_range: bool):
    """Two tasks a chunk: one cuts its halo strips, one calls ``tile_task``
    with the chunk and its neighbours' strips (the bench times a copy in the
    filter's place). Every chunk is at least DEPTH long along an axis cut into
    several chunks, so the neighbours' strips make the halo."""
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph, MaterializedLayer

    token = tokenize(array, parameters, threads, full_range, tile_task)
    name = "brisel-equalize-" + token
    halo_name = "brisel-halo-" + token
    counts = (len(array.chunks[0]), len(array.chunks[1]))
    tail = (0,) if array.ndim == 3 else ()
    several = counts[0] > 1 or counts[1] > 1
    dtype = np.dtype(array.dtype)
    halos, tiles = {}, {}
    for i in range(counts[0]):
        for j in range(counts[1]):
            # Checked inside both tasks that read the chunk (no task of its own).
            shape = (array.chunks[0][i], array.chunks[1][j]) + tuple(array.shape[2:])
            block = (_checked_chunk, (array.name, i, j) + tail, (i, j), shape, dtype)
            if several:
                halos[(halo_name, i, j)] = (_halo_strips, block)
            strips = tuple((halo_name, i + di, j + dj)
                           if 0 <= i + di < counts[0] and 0 <= j + dj < counts[1] else None
                           for di, dj in _NEIGHBOURS)
            tiles[(name, i, j) + tail] = (tile_task, block, (tuple, list(strips)), parameters,
                                          threads, full_range)
    layers = dict(array.dask.layers)
    dependencies = dict(array.dask.dependencies)
    below = set(array.__dask_layers__())
    if several:
        # Strips first: they take microseconds, and a worker waiting for a
        # neighbour's strips can then get them while it equalises other chunks.
        layers[halo_name] = MaterializedLayer(halos, annotations={"priority": 1})
        dependencies[halo_name] = below
        below = below | {halo_name}
    layers[name] = MaterializedLayer(tiles)
    dependencies[name] = below
    graph = HighLevelGraph(layers, dependencies)
    return da.Array(graph, name, array.chunks, dtype=array.dtype,
                    meta=np.empty((0,) * array.ndim, dtype=array.dtype))


def _equalize_frames(block: np.ndarray, parameters: Tuple[float, ...],
                     threads: int, full_range: bool, halo: Tuple[bool, bool],
                     block_info=None) -> np.ndarray:
    """A chunk of a stack: each of its frames framed by the neighbouring
    chunks' overlap on the sides that have one, only the chunk written out."""
    location = block_info[None]["chunk-location"]
    counts = block_info[None]["num-chunks"]
    margins = []
    for axis in (1, 2):
        sides = halo[axis - 1]
        margins.append((DEPTH if sides and location[axis] > 0 else 0,
                        DEPTH if sides and location[axis] < counts[axis] - 1 else 0))
    (top, bottom), (before, after) = margins
    block = np.require(block, requirements=["A", "C"])
    shape = (block.shape[0], block.shape[1] - top - bottom,
             block.shape[2] - before - after) + block.shape[3:]
    out = np.empty(shape, dtype=block.dtype)
    for frame in range(block.shape[0]):
        _core.equalize_into(block[frame], out[frame], parameters, threads, full_range, top,
                            before)
    return out


def _equalize_whole_frames(block, parameters: Tuple[float, ...], threads: int,
                           full_range: bool, declared: np.dtype,
                           frame: Tuple[int, ...]) -> np.ndarray:
    """A chunk of whole frames: each equalised on its own, straight from the
    chunk (a view or a file's mapping is read in place, not copied). A chunk of
    another dtype or frame shape than the array declares is refused, as the
    framed chunks are (without asking each chunk's place, which would double
    the graph)."""
    block = np.asarray(block)
    if block.dtype != declared:
        raise TypeError(f"a chunk has dtype {block.dtype}, the array declares {declared}")
    if block.shape[1:] != frame:
        raise ValueError(f"a chunk has frames of shape {block.shape[1:]}, "
                         f"the array declares {frame}")
    block = np.require(block, requirements=["A", "C"])
    out = np.empty(block.shape, dtype=block.dtype)
    for frame in range(block.shape[0]):
        _core.equalize_into(block[frame], out[frame], parameters, threads, full_range)
    return out


def _rechunk_frames(array, rows_axis: int):
    """Rows and columns (the axes from rows_axis on) in chunks no smaller than
    DEPTH, merged into their neighbours where smaller; the channels, when there
    are any, in one chunk."""
    chunks = list(array.chunks)
    for axis in (rows_axis, rows_axis + 1):
        chunks[axis] = _merge_small_chunks(chunks[axis], DEPTH)
    if array.ndim == rows_axis + 3:
        chunks[rows_axis + 2] = (array.shape[rows_axis + 2],)
    if tuple(chunks) != array.chunks:
        array = array.rechunk(tuple(chunks))
    return array


def _equalize_stack(array, parameters: Tuple[float, ...], threads: int,
                    full_range: bool):
    """Frames are independent: chunks along N take no overlap, chunks across
    a frame take DEPTH rows or columns from their neighbours, as for one image."""
    array = _rechunk_frames(array, 1)
    halo = (len(array.chunks[1]) > 1, len(array.chunks[2]) > 1)
    if not any(halo):
        # Chunks of whole frames need nothing from each other: one task a
        # chunk, no overlap machinery and no per-chunk location in the graph.
        return array.map_blocks(_equalize_whole_frames, dtype=array.dtype,
                                meta=np.empty((0,) * array.ndim, dtype=array.dtype),
                                parameters=parameters, threads=threads, full_range=full_range,
                                declared=np.dtype(array.dtype), frame=tuple(array.shape[1:]))
    depth = {axis: 0 for axis in range(array.ndim)}
    depth[1] = DEPTH if halo[0] else 0
    depth[2] = DEPTH if halo[1] else 0
    return array.map_overlap(_equalize_frames, depth=depth, boundary="none", trim=False,
                             chunks=array.chunks, dtype=array.dtype,
                             meta=np.empty((0,) * array.ndim, dtype=array.dtype),
                             parameters=parameters, threads=threads,
                             full_range=full_range, halo=halo)


def equalize(array, alpha: float = 0.0, beta: float = 0.0, gamma: float = 0.0,
             delta: float = 0.0, *, threads: int = 1, value_range: str = "full"):
    """Equalise a Dask array lazily, chunk by chunk, exactly as ``brisel.equalize``.

    Each chunk is equalised with ``DEPTH`` (7) rows and columns of overlap
    from its neighbours and no padding at the array's own edges, so the
    result equals ``brisel.equalize`` on the whole image, bit for bit, for
    any chunking. The overlap of ``map_overlap(depth=7, boundary="none")``,
    in a graph of two tasks a chunk: one cuts the chunk's edge strips (a few
    KiB), one frames the chunk with its neighbours' strips, runs the filter
    and keeps the chunk's own pixels. No chunk is copied whole between
    workers, and no halo is concatenated or trimmed in tasks of its own.

    Parameters
    ----------
    array : dask.array.Array or array_like
        ``uint8`` or ``uint16``, shape (H, W), (H, W, 3) or (H, W, 4), or a
        stack (N, H, W) or (N, H, W, 3|4), told apart as ``brisel.equalize``
        tells them. A stack's chunks along N take no overlap (frames are
        equalised each on its own); chunks across a frame take ``DEPTH`` rows
        and columns from their neighbours, as for a single image.
    alpha, beta, gamma, delta : float, optional
        The filter's parameters, 0..1 (others, and NaN, are refused).
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
        As ``brisel.equalize``, checked when called, not when computed; when
        computed, a chunk whose dtype or shape is not the one the array
        declares (from ``map_blocks`` with a wrong ``dtype`` or ``chunks``).

    Notes
    -----
    The overlap comes from the next chunk only, so every chunk must be at
    least as long as it; chunks smaller than ``DEPTH`` (7) pixels are
    therefore merged with the next one (the last with the one before) rather
    than refused, which changes only the chunking, never the result.

    Each worker thread keeps the buffer it frames chunks in (up to 16 MiB)
    and the filter's working rows from one chunk to the next, so a worker
    does not map fresh memory for them in every task.
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
    if _is_stack(array.shape):
        return _equalize_stack(array, parameters, threads, full_range)

    array = _rechunk_frames(array, 0)
    return _tile_graph(array, parameters, threads, full_range)
