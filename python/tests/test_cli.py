"""brisel.equalize against the command-line host (build/native/brisel) on PGM/PPM files.

Files are written and read with Pillow, 16-bit RGB through netpbm's
rgb3toppm/ppmtorgb3. BRISEL_CLI names the host (default: the native build's).
"""

import os
import pathlib
import shutil
import subprocess

import numpy as np
import pytest
from PIL import Image

import brisel
from conftest import make_image

ROOT = pathlib.Path(__file__).resolve().parents[2]
CLI = pathlib.Path(os.environ.get("BRISEL_CLI", ROOT / "build" / "native" / "brisel"))


def write_pnm(path, image):
    if image.dtype == np.uint8:
        Image.fromarray(image).save(path)  # P5 or P6, maxval 255
        return
    planes = [image] if image.ndim == 2 else [image[..., c] for c in range(3)]
    names = [path] if image.ndim == 2 else [f"{path}.{c}.pgm" for c in "rgb"]
    for plane, name in zip(planes, names):
        Image.fromarray(plane.astype(np.int32), mode="I").save(name)  # P5, maxval 65535
    if image.ndim == 3:
        with open(path, "wb") as f:
            subprocess.run(["rgb3toppm", *names], stdout=f, check=True)


def read_pnm(path, like):
    if like.dtype == np.uint8 or like.ndim == 2:
        return np.asarray(Image.open(path)).astype(like.dtype)
    subprocess.run(["ppmtorgb3", path.name], cwd=path.parent, check=True)
    stem = path.with_suffix("")
    return np.stack([np.asarray(Image.open(f"{stem}.{c}")) for c in ("red", "grn", "blu")],
                    axis=2).astype(like.dtype)


@pytest.fixture(scope="module")
def cli():
    assert CLI.exists(), f"{CLI} missing: build the native preset first"
    assert shutil.which("rgb3toppm") and shutil.which("ppmtorgb3"), "netpbm missing"
    return CLI


CASES = [
    ((57, 41), np.uint8, (0.1, 0.2, 0.3, 0.4)),
    ((57, 41, 3), np.uint8, (0.6, 0.0, 0.9, 0.7)),
    ((44, 90), np.uint16, (0.0, 0.35, 0.0, 0.15)),
    ((44, 90, 3), np.uint16, (0.27, 0.5, 0.6, 0.0)),
]


@pytest.mark.parametrize("shape, dtype, params", CASES)
def test_python_equals_command_line_host(cli, tmp_path, shape, dtype, params):
    image = make_image(shape, dtype, seed=sum(shape))
    source, target = tmp_path / "in.pnm", tmp_path / "out.pnm"
    write_pnm(source, image)
    np.testing.assert_array_equal(read_pnm(source, image), image)
    env = dict(os.environ, BRISEL_DIR=str(tmp_path / "settings"))
    (tmp_path / "settings").mkdir()
    options = [f"--{name}={value}" for name, value in zip(("alpha", "beta", "gamma", "delta"),
                                                          params)]
    command = [str(cli), "apply", str(source), str(target)]
    for option in options:
        command += option.split("=")
    subprocess.run(command, env=env, check=True, capture_output=True, timeout=120)
    expected = read_pnm(target, image)
    assert not np.array_equal(expected, image)
    np.testing.assert_array_equal(brisel.equalize(image, *params, threads=2), expected)
