#!/usr/bin/env python3
"""One screen for a newcomer after `make demo`: what was reconstructed and how
it compares with the truth the simulator wrote. Called by scripts/demo.sh as
demo_report.py DUV DEMO_DIR."""

import glob
import json
import os
import subprocess
import sys

import nibabel as nib
import numpy as np


def load(path):
    with open(path) as f:
        return json.load(f)


def inspect(duv, path, pictures):
    p = subprocess.run([duv, "inspect", "--json", "--out", pictures, path], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, universal_newlines=True, check=True)
    return json.loads(p.stdout)[0]


def rel(path, demo):
    return os.path.relpath(path, os.path.dirname(demo))


def main():
    duv, demo = sys.argv[1], os.path.abspath(sys.argv[2])
    pictures = os.path.join(demo, "pictures")
    os.makedirs(pictures, exist_ok=True)
    svgs = []
    print("=" * 78)
    print("duv plays the scanner's reconstruction host: it feeds raw readouts to the Derovo2")
    print("spectroscopy plug-in and images to the Viviv NIfTI export plug-in, and stores what")
    print("they send. Four simulated scans went through it; found vs. simulated truth:")
    print("=" * 78)

    # --- single voxel, 8 channels -------------------------------------------
    m = os.path.join(demo, "svs")
    truth, summary = load(os.path.join(m, "truth.json")), load(os.path.join(m, "out", "summary.json"))
    files = summary["spectraFiles"]
    print("\n1. Single-voxel spectroscopy, %d receive channels, %d averages, water reference" %
          (len(truth["channels"]), truth["averages"]))
    print("   Derovo2 sent %d NIfTI-MRS data sets: %d uncombined channels + the combined spectrum" %
          (len(files), len(files) - 1))
    r = inspect(duv, files[-1], pictures)
    ext = json.loads(nib.load(files[-1]).header.extensions[0].get_content())
    print("   %s: centre %.2f ppm as the file states it (SpecFreqChemShift), world = the patient's RAS (%s)" %
          (rel(files[-1], demo), r["centrePpm"], ext.get("PatientPosition", "?")))
    found = [p["ppm"] for p in r["voxels"][0]["peaks"]]
    print("   %-7s %10s %10s %8s" % ("peak", "truth ppm", "found ppm", "diff"))
    for p in truth["peaks"]:
        best = min(found, key=lambda f: abs(f - p["ppm"])) if found else float("nan")
        print("   %-7s %10.2f %10.3f %+8.3f" % (p["name"], p["ppm"], best, best - p["ppm"]))
    svgs.append(r["spectrumPicture"])

    # --- 2D CSI -----------------------------------------------------------------
    m = os.path.join(demo, "csi2d")
    truth, summary = load(os.path.join(m, "truth.json")), load(os.path.join(m, "out", "summary.json"))
    r = inspect(duv, summary["spectraFiles"][-1], pictures)
    hot = np.array(truth["hotVoxel"]["world"])
    got = np.array(r["map"]["maxWorld"])
    size = truth["grid"]["size"]
    print("\n2. 2D chemical-shift imaging, %d x %d voxels of %.0f x %.0f mm, %s slice" %
          (size[0], size[1], truth["grid"]["spacingMm"][0], truth["grid"]["spacingMm"][1], truth["options"]["orientation"]))
    print("   hot choline voxel put at   (%6.1f, %6.1f, %6.1f) mm (world RAS)" % tuple(hot))
    print("   choline maximum found at   (%6.1f, %6.1f, %6.1f) mm, NIfTI voxel %s: %.1f mm off" %
          (tuple(got) + (tuple(r["map"]["maxIndex"]), float(np.linalg.norm(got - hot)))))
    lesion = truth["noNaaVoxels"]
    print("   the phantom has no NAA in %d voxels around (%.0f, %.0f, %.0f) mm: see the NAA map below" %
          ((len(lesion),) + tuple(np.mean([v["world"] for v in lesion], axis=0))))
    os.makedirs(os.path.join(pictures, "naa"), exist_ok=True)
    naa = subprocess.run([duv, "inspect", "--json", "--map-ppm", "2.01", "--out", os.path.join(pictures, "naa"),
                          summary["spectraFiles"][-1]], stdout=subprocess.PIPE, universal_newlines=True, check=False)
    svgs.append(r["map"]["picture"])
    if naa.returncode == 0:
        svgs.append(json.loads(naa.stdout)[0]["map"]["picture"])

    # --- calibration ------------------------------------------------------------
    m = os.path.join(demo, "calib-vapor")
    truth, summary = load(os.path.join(m, "truth.json")), load(os.path.join(m, "out", "summary.json"))
    content = (summary.get("calibrationFile") or {}).get("content", "")
    line = next((l for l in content.split("\n") if l.startswith("vaporFA")), "(no calibration file)")
    steps = truth["steps"]
    print("\n3. Water-suppression calibration: VAPOR flip angle %d ... %d deg in %d steps" %
          (steps[0]["nominalDegrees"], steps[-1]["nominalDegrees"], len(steps)))
    print("   calibration file: \"%s\"   truth: optimum %.1f deg, one step %.0f deg" %
          (line.rstrip(), truth["vaporFA"], truth["tolerance"]))
    for name in ("svs", "csi2d", "calib-vapor"):
        svgs += load(os.path.join(demo, name, "out", "summary.json")).get("displayFiles", [])

    # --- 3D image series --------------------------------------------------------
    m = os.path.join(demo, "images3d")
    truth, summary = load(os.path.join(m, "truth.json")), load(os.path.join(m, "out", "summary.json"))
    nii = summary["niftiFiles"][0]
    img = nib.load(nii)
    data = np.asarray(img.dataobj)
    data = data.reshape(data.shape + (1,) * (5 - data.ndim))
    worst, right = 0.0, 0
    for mark in truth["landmarks"]:
        idx = tuple(mark["niftiIndex"])
        world = (img.affine @ np.array(list(idx[:3]) + [1.0]))[:3]
        worst = max(worst, float(np.linalg.norm(world - mark["world"])))
        right += int(data[idx] == mark["value"])
    print("\n4. 3D image series (%s) exported by Viviv to NIfTI-1:" % truth["options"]["orientation"])
    print("   %s" % rel(nii, demo))
    print("   shape %s, %s, sform_code %d, orientation %s" %
          (tuple(img.shape), img.get_data_dtype(), int(img.header["sform_code"]), "".join(nib.aff2axcodes(img.affine))))
    print("   landmark pixels: %d of %d hold their value; farthest %.4f mm from its truth position" %
          (right, len(truth["landmarks"]), worst))
    sidecar = load(nii[:-4] + ".json")
    print("   sidecar %s: frame \"%s\", patient position %s (the module's own frame, not the patient's RAS" %
          (rel(nii[:-4] + ".json", demo), sidecar["Frame"], sidecar["PatientPosition"]))
    print("   unless HFS)")
    r = inspect(duv, nii, pictures)

    print("\nPictures to open:")
    for s in svgs:
        print("   %s" % rel(s, demo))
    print("   %s (mid-slice of the NIfTI file)" % rel(r["picture"], demo))
    print("\nEach measurement's truth: demo/*/truth.json; outputs: demo/*/out/ (summary.json, trace.log)")


if __name__ == "__main__":
    main()
