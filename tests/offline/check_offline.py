#!/usr/bin/env python3
"""Checks what the offline host writes with independent readers.

write_samples DIR has filled DIR with files and DIR/expectations.json:
  spectra/     NIfTI-MRS files of SpectraSink: nifti_tool reads them as
               NIfTI-2 and builds a valid image from them; nibabel loads them
               with the right shape, dtype, dwell, units, intent name and
               extension JSON; the affine puts every voxel centre where the
               data set's header geometry says (conventions: voxel i of n at
               (i - (n-1)/2) spacings along RowVec / ColVec from PosVec,
               partition k at k thicknesses along the slab normal; the world
               is RAS, for a head-first supine patient (-sag, -cor, tra)).
  display/     the SVG of a known overlay, parsed with xml.etree.
  inspect/     synthetic FIDs: `duv inspect --json` finds their peaks to
               0.01 ppm and maps a CSI grid; a NIfTI-1 file made here with
               nibabel gives a header summary and a PNG.
  measurement/ a measurement for the test module: the command line's exit
               statuses, one-line errors and the progress bar (on a terminal
               only).

nifti_tool's -check_hdr and -check_nim test NIfTI-1 header structures only
(they report any NIfTI-2 file, nibabel's own included, as a failure); the
NIfTI-2 checks here are -disp_hdr2 (the header as NIfTI-2 fields) and
-disp_nim, which fails unless the library can build an image from the header.

Usage: check_offline.py DIR DUV LIBDIR
"""
import json
import os
import pty
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import nibabel as nib
import numpy as np

failures = []


def check(cond, text):
    if not cond:
        failures.append(text)
    return cond


def near(a, b, tol):
    return np.allclose(np.asarray(a, float), np.asarray(b, float), atol=tol, rtol=0)


# ---------------------------------------------------------------------------
# spectra
# ---------------------------------------------------------------------------

def nifti_tool_fields(args, path):
    """Runs nifti_tool with args on path; returns (rc, stderr, {field: [values]})."""
    r = subprocess.run(["nifti_tool"] + args + ["-infiles", path], capture_output=True, text=True)
    fields = {}
    for line in r.stdout.splitlines():
        parts = line.split()
        if len(parts) >= 4 and parts[1].isdigit() and parts[2].isdigit():
            fields[parts[0]] = parts[3:]
    return r.returncode, r.stderr, fields


def expected_centre(e, i, j, k):
    pos, row, col, n = (np.array(e[key], float) for key in ("PosVec", "RowVec", "ColVec", "normal"))
    nx, ny = e["shape"][0], e["shape"][1]
    du, dv = e["PixelSpacing"][1], e["PixelSpacing"][0]
    p = pos + (i - (nx - 1) / 2) * du * row + (j - (ny - 1) / 2) * dv * col + k * e["SliceThickness"] * n
    return np.array([-p[0], -p[1], p[2]])  # the patient's RAS


def check_spectra(directory, expectations):
    for e in expectations:
        path = os.path.join(directory, e["file"])
        name = e["file"]
        # nifti_tool: NIfTI-2 header fields and a valid nifti_image.
        rc, err, h = nifti_tool_fields(["-disp_hdr2"], path)
        if check(rc == 0 and "ERROR" not in err, f"{name}: nifti_tool -disp_hdr2 failed: {err.strip()}"):
            check(h.get("sizeof_hdr") == ["540"], f"{name}: sizeof_hdr {h.get('sizeof_hdr')}")
            check(h.get("datatype") == ["32"], f"{name}: datatype {h.get('datatype')}")
            check(h.get("dim", [])[:5] == [str(x) for x in [4] + e["shape"]], f"{name}: dim {h.get('dim')}")
            check(h.get("intent_name") == ["mrs_v0_9"], f"{name}: intent_name {h.get('intent_name')}")
            check(h.get("xyzt_units") == ["10"], f"{name}: xyzt_units {h.get('xyzt_units')}")
        rc, err, nim = nifti_tool_fields(["-disp_nim"], path)
        if check(rc == 0 and "ERROR" not in err, f"{name}: nifti_tool -disp_nim failed: {err.strip()}"):
            check(nim.get("num_ext") == ["1"], f"{name}: num_ext {nim.get('num_ext')}")
            check(near(float(nim["dt"][0]), e["dwell"], 1e-12), f"{name}: nifti_tool dt {nim.get('dt')}")
            check(nim.get("time_units") == ["8"] and nim.get("xyz_units") == ["2"], f"{name}: units")

        # nibabel
        img = nib.load(path)
        hdr = img.header
        check(isinstance(img, nib.Nifti2Image), f"{name}: nibabel loads {type(img).__name__}")
        check(list(img.shape) == e["shape"], f"{name}: shape {img.shape}, expected {e['shape']}")
        check(hdr.get_data_dtype() == np.complex64, f"{name}: dtype {hdr.get_data_dtype()}")
        check(near(hdr["pixdim"][4], e["dwell"], 1e-12), f"{name}: pixdim[4] {hdr['pixdim'][4]}")
        check(hdr.get_xyzt_units() == ("mm", "sec"), f"{name}: units {hdr.get_xyzt_units()}")
        check(hdr["intent_name"].item() == b"mrs_v0_9", f"{name}: intent_name {hdr['intent_name']}")
        exts = [x for x in hdr.extensions if x.get_code() == 44]
        if check(len(exts) == 1, f"{name}: {len(exts)} extensions with ecode 44"):
            try:
                meta = json.loads(exts[0].get_content().decode("utf-8"))
            except ValueError as exc:
                meta = {}
                check(False, f"{name}: extension is not JSON: {exc}")
            freq = meta.get("SpectrometerFrequency")
            check(isinstance(freq, list) and len(freq) == 1 and near(freq[0], e["frequencyMHz"], 1e-9),
                  f"{name}: SpectrometerFrequency {freq}")
            check(meta.get("ResonantNucleus") == ["1H"], f"{name}: ResonantNucleus {meta.get('ResonantNucleus')}")
            check(near(meta.get("SpectralWidth", 0), 1 / e["dwell"], 1e-6), f"{name}: SpectralWidth")
            check(near(meta.get("EchoTime", 0), 0.03, 1e-12), f"{name}: EchoTime {meta.get('EchoTime')}")
            check(near(meta.get("RepetitionTime", 0), 2.0, 1e-12), f"{name}: RepetitionTime")
            for key in ("ProtocolName", "SequenceName", "PatientPosition", "ConversionMethod", "ConversionTime"):
                check(isinstance(meta.get(key), str), f"{name}: {key} missing")
            for key, value in meta.items():
                if isinstance(value, dict):
                    check("Description" in value and "Value" in value, f"{name}: user key {key} without description")

        # Data: voxel (x, y, z) holds vector x + nx (y + ny z) of the view, time
        # along axis 3, conjugated (the module's spectra rotate the other way).
        data = np.asanyarray(img.dataobj)
        nx, ny, nz, nt = e["shape"]
        want = np.zeros((nx, ny, nz, nt), np.complex64)
        for z in range(nz):
            for y in range(ny):
                for x in range(nx):
                    want[x, y, z, :] = (x + nx * (y + ny * z) + 1) - 1j * np.arange(nt)
        check(np.array_equal(data, want), f"{name}: data are not in grid order")

        # Geometry
        localised = np.linalg.norm(e["RowVec"]) > 0
        if not localised:
            check(hdr["qform_code"] == 0 and hdr["sform_code"] == 0,
                  f"{name}: qform/sform codes {hdr['qform_code']}/{hdr['sform_code']} without a position")
            check(near(hdr["pixdim"][1:4], [10000, 10000, 10000], 1e-9), f"{name}: pixdim {hdr['pixdim'][1:4]}")
            continue
        check(hdr["qform_code"] > 0 and hdr["sform_code"] > 0, f"{name}: qform/sform codes not set")
        for label, affine in (("sform", img.affine), ("qform", img.get_qform())):
            for k in range(nz):
                for j in range(ny):
                    for i in range(nx):
                        got = affine @ np.array([i, j, k, 1.0])
                        want_c = expected_centre(e, i, j, k)
                        check(near(got[:3], want_c, 1e-3),
                              f"{name}: {label} voxel ({i},{j},{k}) at {got[:3]}, expected {want_c}")


# ---------------------------------------------------------------------------
# display
# ---------------------------------------------------------------------------

def rgb(color):
    return "rgb(%d,%d,%d)" % tuple(int(c * 255 + 0.5) for c in color)


def check_display(directory, e):
    name = e["file"]
    size = e["size"]
    root = ET.parse(os.path.join(directory, name)).getroot()
    ns = "{http://www.w3.org/2000/svg}"
    check(root.tag == ns + "svg", f"{name}: root {root.tag}")
    check(root.get("width") == str(size) and root.get("height") == str(size), f"{name}: size")
    children = list(root)
    check(len(children) >= 1 and children[0].tag == ns + "rect", f"{name}: no background first")
    drawn = children[1:]
    if not check(len(drawn) == len(e["elements"]), f"{name}: {len(drawn)} elements, expected {len(e['elements'])}"):
        return
    for n, (el, want) in enumerate(zip(drawn, e["elements"])):
        where = f"{name}: element {n + 1}"
        if want["type"] == "polygon":
            if not check(el.tag == ns + "polyline", f"{where}: {el.tag} instead of a polyline"):
                continue
            check(el.get("stroke") == rgb(want["color"]), f"{where}: stroke {el.get('stroke')}")
            check(el.get("fill") == "none", f"{where}: fill {el.get('fill')}")
            points = [tuple(map(float, p.split(","))) for p in el.get("points").split()]
            check(near(points, [(x * size, y * size) for x, y in want["points"]], 1e-3), f"{where}: points {points}")
        else:
            if not check(el.tag == ns + "text", f"{where}: {el.tag} instead of a text"):
                continue
            check(el.get("fill") == rgb(want["color"]), f"{where}: fill {el.get('fill')}")
            font = float(el.get("font-size"))
            x, y = float(el.get("x")), float(el.get("y"))
            check(near([x, y - font], [want["position"][0] * size, want["position"][1] * size], 1e-3),
                  f"{where}: at ({x}, {y}), font {font}")
            lines = [t.text or "" for t in el.findall(ns + "tspan")]
            check(lines == want["text"].split("\n"), f"{where}: lines {lines}")
            for t in el.findall(ns + "tspan"):
                check(near(float(t.get("x")), x, 1e-9), f"{where}: a line does not start at the text's x")


# ---------------------------------------------------------------------------
# inspect
# ---------------------------------------------------------------------------

def check_inspect(directory, expectations, duv, scratch):
    files = [os.path.join(directory, e["file"]) for e in expectations]
    # A NIfTI-1 image from an independent writer: 5 x 4 x 3 int16, values rising with x.
    n1 = os.path.join(scratch, "image_n1.nii")
    vol = np.zeros((5, 4, 3), np.int16)
    for x in range(5):
        vol[x, :, :] = 10 * x
    nib.save(nib.Nifti1Image(vol, np.diag([2.0, 2.0, 3.0, 1.0])), n1)
    out = os.path.join(scratch, "pictures")
    # Bounded: files whose ppm axis is not finite or absurdly wide must not
    # make inspect run (and grow) without end.
    r = subprocess.run([duv, "inspect", "--json", "--out", out] + files + [n1], capture_output=True, text=True,
                       timeout=120)
    if not check(r.returncode == 0, f"duv inspect: exit {r.returncode}: {r.stderr.strip()}"):
        return
    report = json.loads(r.stdout)
    check(len(report) == len(files) + 1, f"duv inspect: {len(report)} reports")
    for e, rep in zip(expectations, report):
        name = e["file"]
        check(rep["kind"] == "nifti-mrs", f"{name}: kind {rep['kind']}")
        if "ppm" in e:
            found = [p["ppm"] for p in rep["voxels"][0]["peaks"]]
            check(len(found) == len(e["ppm"]) and near(found, e["ppm"], 0.01),
                  f"{name}: peaks at {found}, expected {e['ppm']}")
            svg = rep["spectrumPicture"]
            check(os.path.dirname(svg) == out, f"{name}: picture not in --out: {svg}")
            axis = [float(t.text) for t in ET.parse(svg).getroot().iter("{http://www.w3.org/2000/svg}text")
                    if t.get("text-anchor") == "middle" and t.text.lstrip("-").isdigit()]
            xs = [float(t.get("x")) for t in ET.parse(svg).getroot().iter("{http://www.w3.org/2000/svg}text")
                  if t.get("text-anchor") == "middle" and t.text.lstrip("-").isdigit()]
            order = [v for _, v in sorted(zip(xs, axis))]
            check(len(order) > 2 and order == sorted(order, reverse=True), f"{name}: ppm axis not reversed: {order}")
        if "mapMaxIndex" in e:
            check(rep["map"]["maxIndex"] == e["mapMaxIndex"], f"{name}: map maximum at {rep['map']['maxIndex']}")
            check(near(rep["map"]["maxWorld"], e["mapMaxWorld"], 1e-6), f"{name}: map world {rep['map']['maxWorld']}")
            ET.parse(rep["map"]["picture"])  # a well-formed picture
    n1rep = report[-1]
    check(n1rep["kind"] == "nifti-1", f"image_n1.nii: kind {n1rep['kind']}")
    check(n1rep["dim"][:4] == [3, 5, 4, 3] and n1rep["datatype"] == 4, f"image_n1.nii: {n1rep['dim']}")
    with open(n1rep["picture"], "rb") as f:
        png = f.read()
    check(png[:8] == b"\x89PNG\r\n\x1a\n" and png[16:24] == (5).to_bytes(4, "big") + (4).to_bytes(4, "big"),
          "image_n1.nii: the picture is no 5 x 4 PNG")
    # A file that is neither gives exit status 2 and names it.
    bad = os.path.join(scratch, "bad.nii")
    with open(bad, "wb") as f:
        f.write(b"\0" * 400)
    r = subprocess.run([duv, "inspect", bad], capture_output=True, text=True)
    check(r.returncode == 2 and r.stderr == f"duv inspect: {bad}: neither NIfTI-MRS nor a NIfTI-1 image (single .nii "
          "file, little-endian, not compressed)\n", f"duv inspect of a bad file: exit {r.returncode}, {r.stderr!r}")
    check_inspect_community_files(duv, scratch)


def mrs_image(cls, data, meta, dwell=2.5e-4):
    """A NIfTI-MRS file as an independent writer (nibabel) makes it."""
    img = cls(data, np.eye(4))
    img.header.set_intent("none", name="mrs_v0_9")
    img.header.set_xyzt_units("mm", "sec")
    img.header["pixdim"][4] = dwell
    img.header.extensions.append(nib.nifti1.Nifti1Extension(44, json.dumps(meta).encode()))
    return img


def check_inspect_community_files(duv, scratch):
    """NIfTI-MRS in a NIfTI-1 file with coil and dynamic dimensions, complex128
    in NIfTI-2: each step and the sum; a NIfTI-2 image is refused."""
    n, dwell, mhz = 2048, 2.5e-4, 123.2
    t = np.arange(n) * dwell

    def fid(ppms):
        return sum(np.exp(2j * np.pi * (p - 4.7) * mhz * t) * np.exp(-t / 0.08) for p in ppms)

    data = np.zeros((1, 1, 1, n, 2, 3), np.complex64)
    for c in range(2):
        for d in range(3):
            data[0, 0, 0, :, c, d] = fid([2.01, 3.03] if (c, d) == (1, 2) else [2.01])
    meta = {"SpectrometerFrequency": [mhz], "ResonantNucleus": ["1H"], "SpecFreqChemShift": [4.7],
            "dim_5": "DIM_COIL", "dim_6": "DIM_DYN"}
    n1 = os.path.join(scratch, "mrs_nifti1_coils_dynamics.nii")
    nib.save(mrs_image(nib.Nifti1Image, data, meta), n1)
    n2 = os.path.join(scratch, "mrs_nifti2_complex128.nii")
    nib.save(mrs_image(nib.Nifti2Image, fid([2.01, 3.21]).reshape(1, 1, 1, n).astype(np.complex128),
                       {"SpectrometerFrequency": [mhz], "ResonantNucleus": ["1H"], "SpecFreqChemShift": [4.7]}), n2)
    r = subprocess.run([duv, "inspect", "--json", "--out", os.path.join(scratch, "pictures"), n1, n2],
                       capture_output=True, text=True)
    if not check(r.returncode == 0, f"duv inspect of community files: exit {r.returncode}: {r.stderr.strip()}"):
        return
    rep1, rep2 = json.loads(r.stdout)
    check(rep1["kind"] == "nifti-mrs" and rep1["higherDims"] == [2, 3, 1], f"NIfTI-1 MRS: {rep1.get('higherDims')}")
    check(rep1["dimTags"] == ["DIM_COIL", "DIM_DYN", None], f"NIfTI-1 MRS: tags {rep1['dimTags']}")
    steps = {tuple(s["index"]): s["peaks"] for s in rep1["steps"]}
    check(len(steps) == 6, f"NIfTI-1 MRS: {len(steps)} steps")
    for index, peaks in steps.items():
        want = [3.03, 2.01] if index == (1, 2, 0) else [2.01]
        check(len(peaks) == len(want) and near(peaks, want, 0.01), f"NIfTI-1 MRS step {index}: peaks {peaks}")
    summed = [p["ppm"] for p in rep1["voxels"][0]["peaks"]]
    check(len(summed) == 2 and near(summed, [3.03, 2.01], 0.01), f"NIfTI-1 MRS sum: peaks {summed}")
    found = [p["ppm"] for p in rep2["voxels"][0]["peaks"]]
    check(rep2["kind"] == "nifti-mrs" and near(found, [3.21, 2.01], 0.01), f"NIfTI-2 complex128: peaks {found}")
    check("steps" not in rep2, "NIfTI-2 complex128: steps without higher dimensions")
    image2 = os.path.join(scratch, "image_n2.nii")
    nib.save(nib.Nifti2Image(np.zeros((4, 4, 2), np.float32), np.eye(4)), image2)
    r = subprocess.run([duv, "inspect", image2], capture_output=True, text=True)
    check(r.returncode == 2 and r.stderr == f"duv inspect: {image2}: a NIfTI-2 image (not NIfTI-MRS): only NIfTI-1 "
          "images are shown\n", f"duv inspect of a NIfTI-2 image: exit {r.returncode}, {r.stderr!r}")


# ---------------------------------------------------------------------------
# command line
# ---------------------------------------------------------------------------

def run_on_terminal(cmd):
    """Runs cmd with standard error on a pseudo-terminal; returns (rc, what it wrote there)."""
    master, slave = pty.openpty()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    chunks = []
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        if not data:
            break
        chunks.append(data)
    os.close(master)
    return p.wait(), b"".join(chunks).decode("utf-8", "replace")


def check_cli(measurement, duv, libdir, scratch):
    module = ["--module", "OfflineTestModule", "--configurator", "OfflineScanConfigurator", "--module-path", libdir]
    for sub in ("run", "inspect"):
        r = subprocess.run([duv, sub, "--help"], capture_output=True, text=True)
        check(r.returncode == 0 and "Exit status" in r.stdout, f"duv {sub} --help: exit {r.returncode}")
    r = subprocess.run([duv, "run", "--help"], capture_output=True, text=True)
    for word in ("summary.json", "trace.log", "spectra/", "display/", "nifti/", "--stop-after", "--keep-displays"):
        check(word in r.stdout, f"duv run --help does not mention {word}")
    for args in ([], ["run"], ["run", measurement, "--stop-after", "-1"], ["run", measurement, "--bogus"]):
        r = subprocess.run([duv] + args, capture_output=True, text=True)
        check(r.returncode == 2, f"duv {' '.join(args)}: exit {r.returncode}, expected 2")

    out = os.path.join(scratch, "out_pipe")
    r = subprocess.run([duv, "run", measurement, "--out", out] + module, capture_output=True, text=True)
    check(r.returncode == 0, f"duv run: exit {r.returncode}: {r.stderr.strip()}")
    check("\r" not in r.stderr and "%" not in r.stderr, f"duv run drew a progress bar into a pipe: {r.stderr!r}")
    summary = json.load(open(os.path.join(out, "summary.json")))
    check(summary["ok"] and summary["fed"] == 5 and summary["dataSets"] == 1, f"summary {summary}")

    rc, text = run_on_terminal([duv, "run", measurement, "--out", os.path.join(scratch, "out_tty")] + module)
    check(rc == 0 and "\r[" in text and "100% 5/5" in text, f"no progress bar on a terminal: {text!r}")
    rc, text = run_on_terminal([duv, "run", measurement, "--no-progress", "--out", os.path.join(scratch, "out_np")] + module)
    check(rc == 0 and "%" not in text, f"progress bar despite --no-progress: {text!r}")

    # Bad input: one line naming record and field, nothing claimed.
    bad = os.path.join(scratch, "bad_measurement")
    shutil.copytree(measurement, bad)
    with open(os.path.join(bad, "readouts.bin"), "r+b") as f:
        f.truncate(os.path.getsize(os.path.join(bad, "readouts.bin")) - 3)
    out = os.path.join(scratch, "out_bad")
    r = subprocess.run([duv, "run", bad, "--out", out] + module, capture_output=True, text=True)
    want = f"duv run: {bad}/readouts.bin: record 4: field samples: truncated record\n"
    check(r.returncode == 2 and r.stderr == want, f"bad input: exit {r.returncode}, {r.stderr!r}")
    check(not os.path.exists(out), "bad input: the output directory was created")

    # A failing lifecycle call: exit 1 with status and last error in one line,
    # ending with the module's diagnostic (printed without a line feed), which
    # module.log holds.
    failing = os.path.join(scratch, "failing_measurement")
    shutil.copytree(measurement, failing)
    protocol = os.path.join(failing, "protocol.txt")
    text = open(protocol).read().replace("TEST.lInitStatus = 0", "TEST.lInitStatus = 3221225473")
    text = text.replace('TEST.tDiagnostic = ""', 'TEST.tDiagnostic = "\\n init refused"')
    open(protocol, "w").write(text)
    out = os.path.join(scratch, "out_failing")
    r = subprocess.run([duv, "run", failing, "--out", out] + module, capture_output=True, text=True)
    want = ("duv run: stage offlinescan: BeginInit failed with status 0xc0000001; last error 0xc0000001"
            " (module: init refused)\n")
    check(r.returncode == 1 and r.stderr == want and r.stdout == "", f"failing init: exit {r.returncode}, {r.stderr!r}")
    log = open(os.path.join(out, "module.log")).read()
    check(log == "std::cerr\nstderr\nstd::cout\n\n init refused", f"failing init: module.log {log!r}")
    summary = json.load(open(os.path.join(out, "summary.json")))
    check(summary["ok"] is False and summary["lifecycle"]["init"] == "0xc0000001", f"failing init summary {summary}")


def main():
    directory, duv, libdir = (os.path.abspath(a) for a in sys.argv[1:4])
    expectations = json.load(open(os.path.join(directory, "expectations.json")))
    scratch = os.path.join(directory, "scratch")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    check_spectra(os.path.join(directory, "spectra"), expectations["spectra"])
    check_display(os.path.join(directory, "display"), expectations["display"])
    check_inspect(os.path.join(directory, "inspect"), expectations["inspect"], duv, scratch)
    check_cli(os.path.join(directory, "measurement"), duv, libdir, scratch)
    for f in failures:
        print("FAIL:", f)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
