"""Chemical-shift imaging from raw readouts to NIfTI-MRS: every voxel where the
geometry convention puts it, the hot (choline) voxel within half a voxel of
where the simulator put it, NAA absent where the phantom has none."""

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
        cls.runs = {}
        for name, kind, options in CASES:
            m = E.Measurement(cls.root, name, kind, *options)
            m.run()
            cls.runs[name] = m

    def combined_per_slice(self, m):
        """The data set of each slice (the combined channel when there are several)."""
        files = m.spectra()
        slices = m.truth["options"]["slices"]
        self.assertEqual(len(files) % slices, 0)
        return [E.Spectrum(f) for f in files[-slices:]]

    def truth_voxel_at(self, m, slice_index, world):
        """The truth voxel of a slice nearest to a world position, and its distance."""
        cands = [v for v in m.truth["voxels"] if v["slice"] == slice_index]
        dist = [np.linalg.norm(np.array(v["world"]) - world) for v in cands]
        k = int(np.argmin(dist))
        return cands[k], dist[k]

    def test_every_voxel_lands_on_its_truth_position(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                for s, spec in enumerate(self.combined_per_slice(m)):
                    size = m.truth["grid"]["size"]
                    self.assertEqual(sorted(spec.grid), sorted(size))
                    self.assertEqual(spec.fids.shape[3], m.truth["sampling"]["vectorSize"])
                    for idx in np.ndindex(*spec.grid):
                        _, d = self.truth_voxel_at(m, s, spec.world(*idx))
                        self.assertLess(d, 0.01, "voxel %s of slice %d is %.3f mm from a voxel centre" % (idx, s, d))

    def test_hot_voxel_within_half_a_voxel(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                hot = m.truth["hotVoxel"]
                spec = self.combined_per_slice(m)[hot["slice"]]
                cho = choline_areas(spec)
                idx = np.unravel_index(np.argmax(cho), cho.shape)
                found = spec.world(*idx)
                half = 0.5 * min(m.truth["grid"]["spacingMm"])
                self.assertLess(np.linalg.norm(found - np.array(hot["world"])), half,
                                "choline maximum at %s (index %s), truth %s" % (found, idx, hot["world"]))
                # The world position in the truth is the patient position seen
                # through the conventions' table.
                np.testing.assert_allclose(
                    E.patient_to_world(m.truth["options"]["patientPosition"], hot["patient"]), hot["world"], atol=1e-9)

    def test_naa_absent_where_the_phantom_has_none(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                peaks = m.truth["peaks"]
                for s, spec in enumerate(self.combined_per_slice(m)):
                    naa = naa_amplitudes(spec, peaks)
                    normal, absent = [], []
                    for idx in np.ndindex(*spec.grid):
                        v, _ = self.truth_voxel_at(m, s, spec.world(*idx))
                        (normal if v["amplitudes"]["NAA"] > 0 else absent).append((naa[idx], v))
                    typical = np.median([a for a, _ in normal])
                    lesion = [a for a, v in absent if v["inside"]]
                    self.assertGreaterEqual(len(lesion), 1)
                    self.assertLess(max(a for a, _ in absent), 0.1 * typical)
                    self.assertGreater(min(a for a, _ in normal), 0.5 * typical)

    def test_display_convention_of_the_sent_axes(self):
        for name, m in self.runs.items():
            axes = m.truth.get("expectedSentAxes")
            if not axes:
                continue
            with self.subTest(name):
                spec = self.combined_per_slice(m)[0]
                self.assertEqual(list(spec.grid[:2]), axes["size"])
                pos = m.truth["options"]["patientPosition"]
                for col, key in ((0, "columns"), (1, "lines")):
                    d = spec.affine[:3, col] / np.linalg.norm(spec.affine[:3, col])
                    np.testing.assert_allclose(d, E.patient_to_world(pos, axes[key]), atol=1e-6)


if __name__ == "__main__":
    E.main()
