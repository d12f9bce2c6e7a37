"""Image series to NIfTI-1 through the export module: through nibabel every
landmark pixel holds its value at its index, and the file's transform puts it
at its truth position within 0.01 mm, for several patient positions."""

import glob
import json
import os
import shutil
import subprocess

import nibabel as nib
import numpy as np

import e2e_common as E

CASES = [
    ("2d_hfs_int16", "images2d", ["--matrix", "64x48x7"]),
    ("2d_ffs_float_reps_channels", "images2d", ["--matrix", "40x32x4", "--patient-position", "FFS",
                                                "--image-format", "float", "--repetitions", "2", "--channels", "2",
                                                "--orientation", "cor"]),
    ("3d_hfs_176_partitions", "images3d", ["--matrix", "48x40x176"]),
    ("3d_hfdl_complex_oblique", "images3d", ["--matrix", "32x36x12", "--patient-position", "HFDL",
                                             "--image-format", "complex", "--orientation", "oblique"]),
    ("3d_ffp_tra", "images3d", ["--matrix", "32x32x16", "--patient-position", "FFP", "--orientation", "tra"]),
    ("2d_hfdr_odd_sizes_sag", "images2d", ["--matrix", "33x31x5", "--patient-position", "HFDR", "--orientation", "sag",
                                           "--rotation", "15"]),
]


def pixel_position(prot, mark):
    """Patient position of a landmark pixel from the protocol's slices (or slab of
    partitions) alone: columns along the readout, lines along the phase direction."""
    n_col, n_lin = prot["MEAS.sKSpace.lBaseResolution"], prot["MEAS.sKSpace.lPhaseEncodingLines"]
    partitions = prot["MEAS.sKSpace.lPartitions"]
    slices = E.protocol_slices(prot)
    if partitions > 1:
        v, k = slices[0], mark["partition"]
        centre = v.centre + v.normal * (k - (partitions - 1) / 2) * v.thickness / partitions
    else:
        v = slices[mark["slice"]]
        centre = v.centre
    return (centre + v.readout * (mark["column"] - (n_col - 1) / 2) * v.readout_fov / n_col +
            v.phase * (mark["line"] - (n_lin - 1) / 2) * v.phase_fov / n_lin)


class Export(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.runs = E.run_all(cls.root, CASES)

    def nifti(self, m):
        files = glob.glob(os.path.join(m.out, "nifti", "*.nii"))
        self.assertEqual(len(files), 1, files)
        return files[0]

    def test_shape_and_type(self):
        dtypes = {"int16": np.int16, "float": np.float32, "complex": np.complex64}
        for name, m in self.runs.items():
            with self.subTest(name):
                img = nib.load(self.nifti(m))
                shape = list(img.shape) + [1] * (5 - len(img.shape))
                self.assertEqual(shape[:5], m.truth["shape"]["expectedNiftiShape"])
                self.assertEqual(img.get_data_dtype(), dtypes[m.truth["shape"]["format"]])
                self.assertEqual(int(img.header["sform_code"]), 1)
                self.assertEqual(m.summary()["niftiFiles"], [self.nifti(m)])

    def test_sidecar_names_the_frame_and_the_patient_position(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                sidecar = self.nifti(m)[:-4] + ".json"
                self.assertEqual(m.summary()["niftiSidecars"], [sidecar])
                with open(sidecar) as f:
                    j = json.load(f)
                self.assertEqual(j["Frame"], "device")
                self.assertEqual(j["PatientPosition"], m.truth["options"]["patientPosition"])
                self.assertIn("HFS", j["Description"])

    def test_landmarks_at_their_truth_positions_with_their_values(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                img = nib.load(self.nifti(m))
                data = np.asarray(img.dataobj)
                data = data.reshape(data.shape + (1,) * (5 - data.ndim))
                prot = E.read_protocol(m.dir)
                position = prot["YAPS.tPatientPosition"]
                n_lin = int(prot["MEAS.sKSpace.lPhaseEncodingLines"])
                self.assertGreater(len(m.truth["landmarks"]), 4)
                for mark in m.truth["landmarks"]:
                    # Lines are stored last first.
                    idx = (mark["column"], n_lin - 1 - mark["line"], mark.get("slice", mark.get("partition")),
                           mark["repetition"], mark["channel"])
                    value = data[idx]
                    if isinstance(mark["value"], list):
                        self.assertEqual([value.real, value.imag], mark["value"], idx)
                    else:
                        self.assertEqual(value, mark["value"], idx)
                    # Where the protocol puts the pixel; the simulator's truth agrees.
                    world = (img.affine @ np.array(list(idx[:3]) + [1.0]))[:3]
                    expected = E.patient_to_world(position, pixel_position(prot, mark))
                    self.assertLess(np.linalg.norm(world - expected), 0.01, "%s: %s vs %s" % (idx, world, expected))
                    np.testing.assert_allclose(expected, mark["world"], atol=1e-6)

    def test_neighbouring_pixels_are_not_landmarks(self):
        # A landmark found one index off would mean a shifted image.
        for name, m in self.runs.items():
            with self.subTest(name):
                img = nib.load(self.nifti(m))
                data = np.asarray(img.dataobj)
                data = data.reshape(data.shape + (1,) * (5 - data.ndim))
                for mark in m.truth["landmarks"]:
                    i, j, k, t, c = mark["niftiIndex"]
                    for di, dj in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                        if 0 <= i + di < data.shape[0] and 0 <= j + dj < data.shape[1]:
                            self.assertLess(abs(data[i + di, j + dj, k, t, c]), 2000)

    def test_nifti_tool_accepts_the_header(self):
        tool = shutil.which("nifti_tool")
        if not tool:
            self.skipTest("nifti_tool not installed")
        for name, m in self.runs.items():
            with self.subTest(name):
                p = subprocess.run([tool, "-check_hdr", "-infiles", self.nifti(m)], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, universal_newlines=True)
                self.assertEqual(p.returncode, 0, p.stdout)
                self.assertIn("header IS GOOD", p.stdout)


if __name__ == "__main__":
    E.main()
