"""brisel.dask.equalize: any chunking gives the in-memory result, also on a local cluster."""

import numpy as np
import pytest

import dask
import dask.array as da

import brisel
import brisel.dask
from conftest import make_image


@pytest.mark.parametrize("shape, dtype, chunks", [
    ((83, 71), np.uint8, (5, 5)),
    ((83, 71), np.uint8, ((40, 3, 3, 30, 7), (1, 60, 10))),
    ((83, 71, 3), np.uint16, (20, 33, 1)),
    ((60, 52, 4), np.uint8, (17, 6, 2)),
    ((30, 16), np.uint16, (30, 16)),
    ((9, 40), np.uint8, (4, 13)),
])
def test_any_chunking_equals_in_memory(shape, dtype, chunks):
    image = make_image(shape, dtype, seed=len(shape))
    params = (0.25, 0.1, 0.4, 0.6)
    expected = brisel.equalize(image, *params)
    lazy = brisel.dask.equalize(da.from_array(image, chunks=chunks), *params)
    assert lazy.dtype == image.dtype and lazy.shape == image.shape
    with dask.config.set(scheduler="threads"):
        np.testing.assert_array_equal(lazy.compute(), expected)


def test_two_tasks_a_chunk_and_only_strips_between_chunks():
    # A chunk's task reads its own chunk and its neighbours' strips: the graph
    # grows with the chunks, not with the overlaps, and no task takes a whole
    # neighbouring chunk (which a cluster would copy between workers).
    image = make_image((300, 280), np.uint8, seed=5)
    source = da.from_array(image, chunks=(60, 70))
    lazy = brisel.dask.equalize(source, 0.1, 0.2, 0.3, 0.4)
    graph = dict(lazy.__dask_graph__())
    ours = [key for key in graph if key[0].startswith("brisel-")]
    assert len(ours) == 2 * 5 * 4
    for key in ours:
        inputs = [dep for dep in dask.core.get_dependencies(graph, key)
                  if dep[0] == source.name]
        assert len(inputs) == 1 and inputs[0][1:] == key[1:]
    with dask.config.set(scheduler="sync"):
        np.testing.assert_array_equal(lazy.compute(), brisel.equalize(image, 0.1, 0.2, 0.3, 0.4))


def test_bad_arrays_refused_when_called():
    with pytest.raises(ValueError, match="at least 15"):
        brisel.dask.equalize(da.zeros((40, 10), dtype=np.uint8, chunks=5))
    with pytest.raises(TypeError, match="floating point"):
        brisel.dask.equalize(da.zeros((40, 40), chunks=5))
    with pytest.raises(ValueError, match="shape"):
        brisel.dask.equalize(da.zeros((4, 40, 40), dtype=np.uint8, chunks=5)[..., None])


@pytest.mark.parametrize("chunks", [(20, 30), (60, 52)])
def test_chunks_unlike_the_declared_array_raise_when_computed(chunks):
    image = make_image((60, 52), np.uint8, seed=2)
    source = da.from_array(image, chunks=chunks)
    wider = source.map_blocks(lambda block: block.astype(np.uint16), dtype=np.uint8)
    narrower = source.map_blocks(lambda block: block[:, 1:], dtype=np.uint8)
    with dask.config.set(scheduler="sync"):
        with pytest.raises(TypeError, match=r"chunk \(\d+, \d+\) has dtype uint16.*declares uint8"):
            brisel.dask.equalize(wider).compute()
        with pytest.raises(ValueError, match=r"chunk \(\d+, \d+\) has shape \(\d+, \d+\)"):
            brisel.dask.equalize(narrower).compute()
    # the same for a stack chunked in whole frames, which takes its own path
    frames = da.from_array(np.stack([image] * 3), chunks=(1, 60, 52))
    wider = frames.map_blocks(lambda block: block.astype(np.uint16), dtype=np.uint8)
    narrower = frames.map_blocks(lambda block: block[:, :, 1:], dtype=np.uint8)
    with dask.config.set(scheduler="sync"):
        with pytest.raises(TypeError, match=r"a chunk has dtype uint16, the array declares uint8"):
            brisel.dask.equalize(wider).compute()
        with pytest.raises(ValueError, match=r"a chunk has frames of shape \(60, 51\)"):
            brisel.dask.equalize(narrower).compute()


def test_parameters_refused_when_called():
    with pytest.raises(ValueError, match="gamma must be a number from 0 to 1"):
        brisel.dask.equalize(da.zeros((40, 40), dtype=np.uint8, chunks=20), gamma=float("nan"))


def test_on_a_local_cluster_with_two_worker_processes():
    import distributed
    image = make_image((300, 260, 3), np.uint16, seed=11)
    expected = brisel.equalize(image, 0.5, 0.2, 0.3, 0.1, value_range="host")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=40) as cluster, \
            distributed.Client(cluster, timeout=60) as client:
        lazy = brisel.dask.equalize(da.from_array(image, chunks=(64, 100, 3)), 0.5, 0.2, 0.3,
                                    0.1, value_range="host")
        result = client.compute(lazy).result(timeout=120)
        assert len(client.scheduler_info()["workers"]) == 2
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("frame, chunks", [((50, 40), (2, 20, 9)), ((50, 40, 3), (3, 50, 40, 1)),
                                           ((30, 20, 4), (1, 4, 20, 4))])
def test_chunked_stack_equals_frame_by_frame(frame, chunks):
    stack = np.stack([make_image(frame, np.uint16, seed=s) for s in range(5)])
    params = (0.3, 0.2, 0.5, 0.4)
    source = da.from_array(stack, chunks=chunks)
    lazy = brisel.dask.equalize(source, *params)
    assert lazy.shape == stack.shape and lazy.chunks[0] == source.chunks[0]  # N kept as chunked
    with dask.config.set(scheduler="threads"):
        result = lazy.compute()
    for index, f in enumerate(stack):
        np.testing.assert_array_equal(result[index], brisel.equalize(f, *params))


@pytest.mark.parametrize("frame, chunks, dtype, value_range", [
    ((40, 30), (1, 40, 30), np.uint8, "full"),
    ((40, 30, 3), (2, 40, 30, 3), np.uint16, "host"),
])
def test_stack_of_whole_frame_chunks_takes_one_task_a_chunk(frame, chunks, dtype, value_range):
    # Whole frames need nothing from other chunks: the graph adds one task a
    # chunk to the source's, with nothing cut, joined or located in between.
    top = 40000 if value_range == "host" else None  # above 32768 read as 32768
    stack = np.stack([make_image(frame, dtype, seed=s, top=top) for s in range(5)])
    params = (0.2, 0.3, 0.6, 0.7)
    source = da.from_array(stack, chunks=chunks)
    lazy = brisel.dask.equalize(source, *params, value_range=value_range)
    graph = dict(lazy.__dask_graph__())
    ours = [key for key in graph if key not in dict(source.__dask_graph__())]
    assert len(ours) == len(source.chunks[0])
    with dask.config.set(scheduler="sync"):
        result = lazy.compute()
    for index, f in enumerate(stack):
        np.testing.assert_array_equal(result[index],
                                      brisel.equalize(f, *params, value_range=value_range))
