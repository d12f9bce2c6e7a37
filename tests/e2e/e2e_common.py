"""Shared helpers of the end-to-end tests: run `duv simulate` and `duv run`,
read what came out with nibabel and numpy, and measure spectra the way a
spectroscopist would (independently of the C++ code under test).

Every test script is called as `python3 test_x.py PATH_TO_DUV`."""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import nibabel as nib
import numpy as np

DUV = None  # set by main()


def main():
    global DUV
    if len(sys.argv) < 2:
        sys.exit("usage: %s PATH_TO_DUV [unittest options]" % sys.argv[0])
    DUV = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)


def duv(*args, expect=0):
    """Runs duv with the arguments; checks the exit status; returns the process."""
    p = subprocess.run([DUV] + [str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       universal_newlines=True, timeout=300)
    if expect is not None and p.returncode != expect:
        raise AssertionError("duv %s exited %d (expected %d)\nstdout:\n%s\nstderr:\n%s" %
                             (" ".join(map(str, args)), p.returncode, expect, p.stdout[-3000:], p.stderr[-3000:]))
    return p


class Measurement:
    """One simulated measurement and its reconstruction."""

    def __init__(self, root, name, kind, *options):
        self.dir = os.path.join(root, name)
        duv("simulate", kind, self.dir, *options)
        with open(os.path.join(self.dir, "truth.json")) as f:
            self.truth = json.load(f)
        self.out = None

    def run(self, *options, expect=0):
        self.out = os.path.join(self.dir, "out")
        p = duv("run", self.dir, "--out", self.out, "--no-progress", *options, expect=expect)
        return p

    def summary(self):
        with open(os.path.join(self.out, "summary.json")) as f:
            return json.load(f)

    def spectra(self):
        return sorted(glob.glob(os.path.join(self.out, "spectra", "*.nii")))


def run_all(root, cases, *run_options):
    """Simulates and runs each (name, kind, options) case; {name: Measurement}."""
    runs = {}
    for name, kind, options in cases:
        runs[name] = Measurement(root, name, kind, *options)
        runs[name].run(*run_options)
    return runs


class E2eCase(unittest.TestCase):
    """A test case with a scratch directory, removed when every test passed."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="duv-e2e-")
        cls.failed = False

    @classmethod
    def tearDownClass(cls):
        if not cls.failed:
            shutil.rmtree(cls.root, ignore_errors=True)
        else:
            print("kept for inspection: %s" % cls.root)

    def run(self, result=None):
        before = len(result.failures) + len(result.errors) if result else 0
        out = super().run(result)
        if result and len(result.failures) + len(result.errors) > before:
            type(self).failed = True
        return out


# --- NIfTI-MRS ---------------------------------------------------------------

class Spectrum:
    """A NIfTI-MRS data set: fids[x, y, z, t], affine, dwell, frequency, header JSON."""

    def __init__(self, path):
        img = nib.load(path)
        self.path = path
        self.img = img
        data = np.asarray(img.dataobj)
        while data.ndim < 4:
            data = data[..., np.newaxis]
        self.fids = data.reshape(data.shape[:4]).astype(np.complex128)
        self.affine = img.affine
        self.dwell = float(img.header["pixdim"][4])
        self.ext = json.loads(img.header.extensions[0].get_content()) if img.header.extensions else {}
        self.mhz = float(self.ext["SpectrometerFrequency"][0])
        with open(path[:-4] + ".json") as f:
            self.header = json.load(f)

    @property
    def grid(self):
        return self.fids.shape[:3]

    def fid(self, x=0, y=0, z=0):
        return self.fids[x, y, z, :]

    def world(self, x, y, z):
        return (self.affine @ np.array([x, y, z, 1.0]))[:3]


# The standard's own list of header keys (its definitions.json), and the keys
# its later revisions added that the files use.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "nifti_mrs_definitions.json")) as _f:
    DEFINITIONS = json.load(_f)
LATER_KEYS = {"SpecFreqChemShift": {"type": ["array", "number"], "units": "ppm"}}


def _of_type(value, kinds):
    head, rest = kinds[0], kinds[1:]
    if head == "array":
        return isinstance(value, list) and all(_of_type(v, rest) for v in value) if rest else isinstance(value, list)
    return {"number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
            "string": lambda v: isinstance(v, str), "bool": lambda v: isinstance(v, bool),
            "object": lambda v: isinstance(v, dict)}[head](value)


def check_header_keys(case, spec, truth):
    """Every key of a spectra file's extension against the standard: required
    keys present, defined keys of their type, values in their units (against
    the truth), user-defined keys with a value and a description."""
    ext = spec.ext
    defined = dict(DEFINITIONS["required"], **DEFINITIONS["standard_defined"], **LATER_KEYS)
    for key in DEFINITIONS["required"]:
        case.assertIn(key, ext)
    for key, value in ext.items():
        if key in defined:
            case.assertTrue(_of_type(value, defined[key]["type"]), "%s: %r is not %s" % (key, value, defined[key]["type"]))
        elif re.fullmatch(r"dim_[567](_info|_header)?", key) is None:
            case.assertTrue(isinstance(value, dict) and "Description" in value, "user-defined key %s: %r" % (key, value))
    sampling = truth["sampling"]
    case.assertAlmostEqual(ext["SpectrometerFrequency"][0], sampling["frequencyMHz"], places=6)  # MHz
    case.assertEqual(ext["ResonantNucleus"], ["1H"])
    case.assertEqual(ext["SpecFreqChemShift"], [sampling["carrierPpm"]])  # ppm
    case.assertAlmostEqual(ext["SpectralWidth"], 1.0 / sampling["dwellSeconds"], places=6)  # Hz
    case.assertAlmostEqual(spec.dwell, sampling["dwellSeconds"], places=12)
    for key in ("EchoTime", "RepetitionTime"):  # seconds: the simulator's times are milliseconds long
        case.assertTrue(0.0 < ext[key] < 10.0, "%s %r" % (key, ext[key]))
    case.assertEqual(ext["ExcitationFlipAngle"], 90.0)  # degrees
    case.assertEqual(ext["PatientPosition"], truth["options"]["patientPosition"])
    for step in ext.get("ProcessingApplied", []):
        case.assertEqual(set(step), {"Time", "Program", "Method", "Details"})
    if spec.grid != (1, 1, 1):
        voi = np.array(ext["VOI"])
        case.assertEqual(voi.shape, (4, 4))
        np.testing.assert_allclose(voi[3], [0, 0, 0, 1])
        # The volume of interest's centre lies inside the grid's plane, in
        # the file's frame.
        idx = (np.linalg.inv(spec.affine) @ voi[:, 3])[:2]
        case.assertTrue(all(-0.5 <= i <= n - 0.5 for i, n in zip(idx, spec.grid)), "VOI centre at index %s" % idx)
    else:
        case.assertNotIn("VOI", ext)


def ppm_axis(n, dwell, mhz, carrier=4.7):
    """ppm of each point of a centred spectrum of n points (numpy fftshift(fft))."""
    return carrier + (np.arange(n) - n // 2) / (n * dwell) / mhz


def spectrum(fid, zero_fill=8):
    n = len(fid) * zero_fill
    return np.fft.fftshift(np.fft.fft(fid, n))


def find_peak(fid, dwell, mhz, near_ppm, half_width=0.1, zero_fill=8):
    """ppm of the largest magnitude within near_ppm +- half_width, interpolated."""
    s = np.abs(spectrum(fid, zero_fill))
    ppm = ppm_axis(len(s), dwell, mhz)
    idx = np.where(np.abs(ppm - near_ppm) <= half_width)[0]
    k = idx[np.argmax(s[idx])]
    if 0 < k < len(s) - 1:
        a, b, c = s[k - 1], s[k], s[k + 1]
        den = a - 2 * b + c
        off = 0.5 * (a - c) / den if den != 0 else 0.0
    else:
        off = 0.0
    return ppm[k] + off * (ppm[1] - ppm[0])


def basis(n, dwell, mhz, peaks, skip=0):
    """Model FIDs of the files' convention, exp(+i 2 pi f t) exp(-t / T2*), one column per peak."""
    t = (np.arange(n) * dwell)[skip:]
    cols = []
    for p in peaks:
        f = (p["ppm"] - 4.7) * mhz
        cols.append(np.exp(2j * np.pi * f * t) * np.exp(-t / p["t2starSeconds"]))
    return np.stack(cols, axis=1)


def fit(fid, dwell, mhz, peaks, skip=2):
    """Complex amplitude of each known resonance (linear least squares) and the
    RMS of the residual (the noise per point). The first points are left out:
    oversampling removal by spectral cropping changes them."""
    a = basis(len(fid), dwell, mhz, peaks, skip)
    y = fid[skip:]
    coef, _, _, _ = np.linalg.lstsq(a, y, rcond=None)
    residual = y - a @ coef
    dof = max(1, len(y) - len(peaks))
    noise = np.sqrt(np.sum(np.abs(residual) ** 2) / dof)
    return coef, noise


def peak_area(fid, dwell, mhz, ppm, half_width=0.06, zero_fill=4):
    s = np.abs(spectrum(fid, zero_fill))
    ax = ppm_axis(len(s), dwell, mhz)
    return float(np.sum(s[np.abs(ax - ppm) <= half_width]))


# --- patient to world (docs/conventions.md), written out independently ---------

def patient_ras(p):
    """World of the NIfTI-MRS files for every patient position: the patient's RAS."""
    p = np.asarray(p, dtype=float)
    return np.array([-p[0], -p[1], p[2]])


# device = M x patient; rows X, Y, Z; columns sag, cor, tra.
POSITIONS = {
    "HFS": [[1, 0, 0], [0, -1, 0], [0, 0, -1]],
    "HFP": [[-1, 0, 0], [0, 1, 0], [0, 0, -1]],
    "FFS": [[-1, 0, 0], [0, -1, 0], [0, 0, 1]],
    "FFP": [[1, 0, 0], [0, 1, 0], [0, 0, 1]],
    "HFDL": [[0, -1, 0], [-1, 0, 0], [0, 0, -1]],
    "HFDR": [[0, 1, 0], [1, 0, 0], [0, 0, -1]],
    "FFDL": [[0, 1, 0], [-1, 0, 0], [0, 0, 1]],
    "FFDR": [[0, -1, 0], [1, 0, 0], [0, 0, 1]],
}


def patient_to_world(position, p):
    """The world frame of the export module's NIfTI-1 files: (-X, Y, -Z) of the device vector."""
    d = np.array(POSITIONS[position], dtype=float) @ np.asarray(p, dtype=float)
    return np.array([-d[0], d[1], -d[2]])


def mrs_world(position, p):
    """The world frame of the NIfTI-MRS spectra files (linear: points and directions):
    the patient's RAS for every patient position. Every comparison of a spectra
    file's affine goes through here."""
    return patient_ras(p)


# --- slice geometry from the protocol (docs/conventions.md), written out ------
# independently of the host's MrMath, which both the simulator and the modules use.

def read_protocol(directory):
    """protocol.txt of a measurement as {path: value}: numbers as float, texts unquoted."""
    values = {}
    with open(os.path.join(directory, "protocol.txt")) as f:
        for line in f:
            if line.startswith("#") or " = " not in line:
                continue
            key, text = line.rstrip("\n").split(" = ", 1)
            try:
                values[key] = float(text)
            except ValueError:
                values[key] = text.strip('"')
    return values


def main_orientation(n, tolerance=1e-6):
    """0 sagittal, 1 coronal, 2 transverse: the component whose magnitude exceeds
    both others by more than the tolerance; -1 undefined."""
    a = np.abs(n)
    for k in range(3):
        if all(a[k] - a[j] > tolerance for j in range(3) if j != k):
            return k
    return -1


def slice_frame(normal, rotation):
    """(phase, readout, unit normal) in patient coordinates: the phase rule of the
    normal's main orientation, readout = normal x phase, then the in-plane
    rotation by `rotation` radians about the normal. (The fallbacks for normals
    along an axis with a large tolerance are left out: no measurement has them.)"""
    n = np.asarray(normal, dtype=float)
    n = n / np.linalg.norm(n)
    s, c, t = n
    o = main_orientation(n)
    if o == 1:
        p = np.array([c, -s, 0.0]) / np.hypot(s, c)
    elif o == 0:
        p = np.array([-c, s, 0.0]) / np.hypot(s, c)
    else:
        p = np.array([0.0, t, -c]) / np.hypot(c, t)
    r = np.cross(n, p)
    ca, sa = np.cos(rotation), np.sin(rotation)
    return ca * p - sa * r, sa * p + ca * r, n


class Volume:
    """A slice or volume of interest of the protocol: centre, frame, sizes (mm)."""

    def __init__(self, prot, base):
        vec = lambda name: np.array([prot["%s.%s.d%s" % (base, name, a)] for a in ("Sag", "Cor", "Tra")])
        self.centre = vec("sPosition")
        self.phase, self.readout, self.normal = slice_frame(vec("sNormal"), prot[base + ".dInPlaneRot"])
        self.readout_fov = prot[base + ".dReadoutFOV"]
        self.phase_fov = prot[base + ".dPhaseFOV"]
        self.thickness = prot[base + ".dThickness"]


def protocol_slices(prot):
    return [Volume(prot, "MEAS.sSliceArray.asSlice.%d" % i) for i in range(int(prot["MEAS.sSliceArray.lSize"]))]
