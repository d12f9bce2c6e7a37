"""Chemical-shift imaging from raw readouts to NIfTI-MRS: every voxel where the
protocol's geometry puts it (derived here, independently of the host's
geometry code), the hot (choline) voxel at the index of the simulated one, NAA
absent where the phantom has none."""

import numpy as np

import e2e_common as E

CASES = [
    ("csi2d_tra", "csi2d", ["--orientation", "tra"]),
    ("csi2d_cor_nonsquare", "csi2d", ["--orientation", "cor", "--matrix", "16x8", "--seed", "2"]),
    ("csi2d_sag_ffs", "csi2d", ["--orientation", "sag", "--patient-position", "FFS", "--seed", "3"]),
    ("csi2d_oblique_two_slices", "csi2d", ["--orientation", "oblique", "--slices", "2", "--oversampling", "1",
                                           "--seed", "4"]),
    ("csi3d_tra", "csi3d", ["--seed", "5"]),
    ("csi3d_oblique_array", "csi3d", ["--orientation", "oblique", "--channels", "2", "--water-ref",
                                      "--patient-position", "HFDR", "--vector-size", "256", "--seed", "6"]),
]

# The patient frame for every patient position: small oblique grids.
POSITION_CASES = [("frame_%s" % p.lower(), "csi2d", ["--orientation", "oblique", "--matrix", "8x4", "--vector-size", "64",
                                                     "--patient-position", p, "--seed", str(10 + k)])
                  for k, p in enumerate(sorted(E.POSITIONS))]


# Directions of the first and second index of the sent grids without in-plane
# rotation (the display convention): transverse columns toward the patient's
# left, coronal and sagittal lines toward the feet.
SENT_AXES = {"tra": ([1, 0, 0], [0, 1, 0]), "cor": ([1, 0, 0], [0, 0, -1]), "sag": ([0, 1, 0], [0, 0, -1])}


class Grid:
    """Where each voxel of a measurement's data sets lies, from the protocol alone."""

    def __init__(self, m):
        prot = E.read_protocol(m.dir)
        self.position = prot["YAPS.tPatientPosition"]
        self.slices = E.protocol_slices(prot)
        self.n = [int(prot["MEAS.sSpecPara.lFinalMatrixSize" + k]) for k in ("Read", "Phase", "Slice")]
        self.orientation = E.main_orientation(self.slices[0].normal)

    def sent_size(self):
        return (self.n[0], self.n[1]) if self.orientation == 2 else (self.n[1], self.n[0])

    def acquired(self, x, y, z):
        """Indices along readout, phase and normal of the sent voxel (x, y, z): the
        transverse grid is mirrored along the readout, the coronal one exchanged,
        the sagittal (and undefined) one mirrored and then exchanged."""
        if self.orientation == 2:
            return (self.n[0] - 1 - x, y, z)
        if self.orientation == 1:
            return (y, x, z)
        return (self.n[0] - 1 - y, x, z)

    def patient(self, s, acquired):
        v = self.slices[s]
        spacing = (v.readout_fov / self.n[0], v.phase_fov / self.n[1], v.thickness / self.n[2])
        return v.centre + sum((i - (n - 1) / 2) * d * a
                              for i, n, d, a in zip(acquired, self.n, spacing, (v.readout, v.phase, v.normal)))


def naa_amplitudes(spec, peaks):
    """|NAA| of every voxel, by a fit with the known resonances."""
    out = np.zeros(spec.grid)
    for idx in np.ndindex(*spec.grid):
        coef, _ = E.fit(spec.fid(*idx), spec.dwell, spec.mhz, peaks)
        out[idx] = abs(coef[0])
    return out


def choline_areas(spec):
    out = np.zeros(spec.grid)
    for idx in np.ndindex(*spec.grid):
        out[idx] = E.peak_area(spec.fid(*idx), spec.dwell, spec.mhz, 3.20)
    return out


class Csi(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.runs = E.run_all(cls.root, CASES)
        cls.position_runs = E.run_all(cls.root, POSITION_CASES)

    def combined_per_slice(self, m):
        """The data set of each slice (the combined channel when there are several)."""
        files = m.spectra()
        slices = m.truth["options"]["slices"]
        self.assertEqual(len(files) % slices, 0)
        return [E.Spectrum(f) for f in files[-slices:]]

    def truth_voxel(self, m, slice_index, acquired):
        """The simulated voxel of a slice with these indices along readout, phase and normal."""
        if not hasattr(m, "voxel_at"):
            m.voxel_at = {(v["slice"],) + tuple(v["index"]): v for v in m.truth["voxels"]}
        return m.voxel_at[(slice_index,) + tuple(acquired)]

    def test_every_voxel_lies_where_the_protocol_puts_it(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                g = Grid(m)
                for s, spec in enumerate(self.combined_per_slice(m)):
                    self.assertEqual(spec.grid, g.sent_size() + (g.n[2],))
                    self.assertEqual(spec.fids.shape[3], m.truth["sampling"]["vectorSize"])
                    for idx in np.ndindex(*spec.grid):
                        patient = g.patient(s, g.acquired(*idx))
                        np.testing.assert_allclose(spec.world(*idx), E.mrs_world(g.position, patient), atol=0.01,
                                                   err_msg="voxel %s of slice %d" % (idx, s))
                        # The simulator put its voxel there too.
                        np.testing.assert_allclose(self.truth_voxel(m, s, g.acquired(*idx))["patient"], patient,
                                                   atol=1e-6)

    def test_hot_voxel_at_the_index_of_the_simulated_one(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                hot = m.truth["hotVoxel"]
                spec = self.combined_per_slice(m)[hot["slice"]]
                cho = choline_areas(spec)
                idx = np.unravel_index(np.argmax(cho), cho.shape)
                self.assertEqual(Grid(m).acquired(*idx), tuple(hot["index"]), "choline maximum at %s" % (idx,))
                # The world position in the truth is the spectra files' frame.
                np.testing.assert_allclose(
                    E.mrs_world(m.truth["options"]["patientPosition"], hot["patient"]), hot["world"], atol=1e-9)

    def test_naa_absent_where_the_phantom_has_none(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                peaks = m.truth["peaks"]
                g = Grid(m)
                for s, spec in enumerate(self.combined_per_slice(m)):
                    naa = naa_amplitudes(spec, peaks)
                    normal, absent = [], []
                    for idx in np.ndindex(*spec.grid):
                        v = self.truth_voxel(m, s, g.acquired(*idx))
                        (normal if v["amplitudes"]["NAA"] > 0 else absent).append((naa[idx], v))
                    typical = np.median([a for a, _ in normal])
                    lesion = [a for a, v in absent if v["inside"]]
                    self.assertGreaterEqual(len(lesion), 1)
                    self.assertLess(max(a for a, _ in absent), 0.1 * typical)
                    self.assertGreater(min(a for a, _ in normal), 0.5 * typical)

    def test_every_voxel_at_an_integer_index_of_the_patient_frame(self):
        # World = the patient's RAS for every patient position: each simulated
        # voxel's patient position maps to an index of its slice's file, one
        # voxel per index; the header names the position.
        for name, m in list(self.runs.items()) + list(self.position_runs.items()):
            with self.subTest(name):
                for s, spec in enumerate(self.combined_per_slice(m)):
                    self.assertEqual(spec.ext["PatientPosition"], m.truth["options"]["patientPosition"])
                    to_index = np.linalg.inv(spec.affine)
                    for affine in (spec.affine, spec.img.get_qform()):
                        np.testing.assert_allclose(affine, spec.affine, atol=1e-3)
                    seen = set()
                    position = m.truth["options"]["patientPosition"]
                    for v in m.truth["voxels"]:
                        if v["slice"] != s:
                            continue
                        idx = (to_index @ np.append(E.mrs_world(position, v["patient"]), 1.0))[:3]
                        np.testing.assert_allclose(idx, np.round(idx), atol=1e-3, err_msg=str(v["patient"]))
                        k = tuple(int(i) for i in np.round(idx))
                        self.assertTrue(all(0 <= a < n for a, n in zip(k, spec.grid)), k)
                        seen.add(k)
                    self.assertEqual(len(seen), int(np.prod(spec.grid)))

    def test_header_keys_follow_the_standard(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                for f in m.spectra():
                    E.check_header_keys(self, E.Spectrum(f), m.truth)

    def test_display_convention_of_the_sent_axes(self):
        for name, m in self.runs.items():
            options = m.truth["options"]
            if options["orientation"] not in SENT_AXES or options["rotationDegrees"] != 0:
                continue
            with self.subTest(name):
                spec = self.combined_per_slice(m)[0]
                for col, axis in enumerate(SENT_AXES[options["orientation"]]):
                    np.testing.assert_allclose(spec.header[("RowVec", "ColVec")[col]], axis, atol=1e-9)
                    d = spec.affine[:3, col] / np.linalg.norm(spec.affine[:3, col])
                    np.testing.assert_allclose(d, E.mrs_world(options["patientPosition"], axis), atol=1e-6)


if __name__ == "__main__":
    E.main()
