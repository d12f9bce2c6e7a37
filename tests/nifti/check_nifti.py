#!/usr/bin/env python3
"""Checks the NIfTI-1 files that nifti_reader_cases wrote with independent
readers: nifti_tool (-check_hdr, -check_nim) and nibabel (shape, datatype,
data, and the voxel-to-world affine against the slice geometry).

The truth comes from expectations.json next to the files: each slice's
position as the images carried it, the in-plane directions and spacings and
the host's patient-to-device rotation. Pixel centres follow the image-series
convention (a slice's position is the centre of pixel (nCol//2, nLin//2));
lines are stored last line first, so the file's j is image line nLin-1-j.
The NIfTI world of the writer is (-X, Y, -Z) of the device frame, which is
the patient's RAS for head-first supine.

Usage: check_nifti.py DIRECTORY
"""
import json
import os
import subprocess
import sys

import nibabel as nib
import numpy as np

failures = []


def fail(name, text):
    failures.append(f"{name}: {text}")


def pattern(col, line, ch, sl, vol):
    return (col * 3 + line * 7 + ch * 101 + sl * 37 + vol * 211) % 30011


def expected_data(case):
    n_col, n_lin = case["n_col"], case["n_lin"]
    n_sl, n_vol, n_cha = case["n_slices"], case["n_vols"], case["n_cha"]
    col = np.arange(n_col).reshape(-1, 1, 1, 1, 1)
    j = np.arange(n_lin).reshape(1, -1, 1, 1, 1)
    line = n_lin - 1 - j  # stored last line first
    sl = np.arange(n_sl).reshape(1, 1, -1, 1, 1)
    vol = np.arange(n_vol).reshape(1, 1, 1, -1, 1)
    ch = np.arange(n_cha).reshape(1, 1, 1, 1, -1)
    v = pattern(col, line, ch, sl, vol).astype(np.float64)
    arrived = np.zeros((1, 1, n_sl, n_vol, 1), dtype=bool)
    for s, t in case["arrived"]:
        arrived[0, 0, s, t, 0] = True
    dtype = case["dtype"]
    if dtype == "int16":
        data = v.astype(np.int16)
    elif dtype == "float32":
        data = (v + 0.25).astype(np.float32)
    else:
        data = (v - 1j * (v + 0.5)).astype(np.complex64)
    data = np.where(arrived, data, np.zeros((), dtype=data.dtype))
    return data.reshape(case["shape"])


# Patient-to-device rotations that follow from the definitions of the two
# frames for the positions whose geometry is obvious: a check of the host's
# matrix, so that the world the files claim is the magnet's.
KNOWN_DEVICE = {
    "HFS": [[1, 0, 0], [0, -1, 0], [0, 0, -1]],
    "FFS": [[-1, 0, 0], [0, -1, 0], [0, 0, 1]],
    "HFP": [[-1, 0, 0], [0, 1, 0], [0, 0, -1]],
}


def expected_world(case, i, j, k):
    """World (x, y, z) of the centre of the pixel stored at voxel (i, j, k)."""
    n_col, n_lin = case["n_col"], case["n_lin"]
    u = np.array(case["row"])
    v = np.array(case["column"])
    p = np.array(case["slice_positions"])[k]
    line = n_lin - 1 - j
    patient = (p + ((i - n_col // 2) * case["row_spacing"])[..., None] * u
               + ((line - n_lin // 2) * case["column_spacing"])[..., None] * v)
    m = np.array(case["device_matrix"])
    device = patient @ m.T
    return device * np.array([-1.0, 1.0, -1.0])


def run_tool(name, path, option, good_text):
    r = subprocess.run(["nifti_tool", option, "-infiles", path], capture_output=True, text=True)
    out = r.stdout + r.stderr
    if r.returncode != 0 or good_text not in out or "BAD" in out:
        fail(name, f"nifti_tool {option}: rc {r.returncode}: {out.strip()}")


def check_case(directory, case):
    name = case["file"]
    path = os.path.join(directory, name)
    if not os.path.exists(path):
        fail(name, "missing")
        return
    run_tool(name, path, "-check_hdr", "header IS GOOD")
    run_tool(name, path, "-check_nim", "nifti_image IS GOOD")

    img = nib.load(path)
    if not isinstance(img, nib.Nifti1Image):
        fail(name, f"read as {type(img).__name__}, not NIfTI-1")
    hdr = img.header
    if list(img.shape) != case["shape"]:
        fail(name, f"shape {img.shape}, expected {case['shape']}")
        return
    if str(img.get_data_dtype()) != case["dtype"]:
        fail(name, f"dtype {img.get_data_dtype()}, expected {case['dtype']}")
    data = np.asanyarray(img.dataobj)
    want = expected_data(case)
    if data.dtype != want.dtype or not np.array_equal(data, want):
        bad = np.argwhere(data != want)
        fail(name, f"data differ at {len(bad)} voxels, first {bad[:3].tolist()}")

    # The sform alone carries the orientation.
    if int(hdr["sform_code"]) != 1 or int(hdr["qform_code"]) != 0:
        fail(name, f"sform_code {hdr['sform_code']}, qform_code {hdr['qform_code']}")
    m = np.array(case["device_matrix"], dtype=float)
    if abs(np.linalg.det(m) - 1.0) > 1e-9 or not np.allclose(m @ m.T, np.eye(3)):
        fail(name, f"device matrix {m.tolist()} is no rotation")
    known = KNOWN_DEVICE.get(case["patient_position"])
    if known is not None and not np.allclose(m, known):
        fail(name, f"device matrix {m.tolist()} for {case['patient_position']}, expected {known}")

    affine = img.affine
    n_col, n_lin, n_sl = case["n_col"], case["n_lin"], case["n_slices"]
    i, j, k = np.meshgrid(np.arange(n_col), np.arange(n_lin), np.arange(n_sl), indexing="ij")
    voxels = np.stack([i.ravel(), j.ravel(), k.ravel(), np.ones(i.size)])
    got = (affine @ voxels)[:3].T
    want_xyz = expected_world(case, i.ravel(), j.ravel(), k.ravel())
    err = np.abs(got - want_xyz).max()
    if err > 2e-3:
        worst = int(np.abs(got - want_xyz).max(axis=1).argmax())
        fail(name, f"affine misplaces pixel centres by {err:.4g} mm (voxel {voxels[:3, worst].tolist()}: "
                   f"{got[worst].tolist()} instead of {want_xyz[worst].tolist()})")
    if case["patient_position"] == "HFS":
        # Head-first supine: the world is the patient's RAS, (-sag, -cor, tra).
        p0 = np.array(case["slice_positions"][0])
        centre = affine @ np.array([n_col // 2, n_lin - 1 - n_lin // 2, 0, 1.0])
        if not np.allclose(centre[:3], p0 * [-1, -1, 1], atol=2e-3):
            fail(name, f"centre of slice 0 at {centre[:3].tolist()}, RAS of {p0.tolist()} expected")
    # Voxel sizes as readers derive them from the header.
    zooms = hdr.get_zooms()
    if not np.allclose(zooms[:2], [case["row_spacing"], case["column_spacing"]], rtol=1e-6):
        fail(name, f"pixdim {zooms[:2]}, expected {case['row_spacing']}, {case['column_spacing']}")
    if n_sl > 1:
        step = np.linalg.norm(np.subtract(case["slice_positions"][1], case["slice_positions"][0]))
        if not np.isclose(zooms[2], step, rtol=1e-6):
            fail(name, f"slice step {zooms[2]}, expected {step}")


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    directory = sys.argv[1]
    with open(os.path.join(directory, "expectations.json")) as f:
        expectations = json.load(f)
    cases = expectations["cases"]
    for case in cases:
        check_case(directory, case)
    for text in failures:
        print("FAIL", text)
    print(f"{len(cases)} files checked, {len(failures)} problems")
    return 1 if failures or not cases else 0


if __name__ == "__main__":
    sys.exit(main())
