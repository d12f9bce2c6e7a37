"""Single-voxel spectroscopy from raw readouts to NIfTI-MRS: peaks, amplitude
ratios, coil combination SNR, data sets and voxel geometry against the truth."""

import numpy as np

import e2e_common as E

# name, kind, options
CASES = [
    ("one_channel_os1", "svs", ["--oversampling", "1"]),
    ("one_channel_os2_pre_echo", "svs", ["--oversampling", "2", "--pre-echo", "16"]),
    ("one_channel_ref_scans", "svs", ["--ref-scans", "1", "--seed", "5"]),
    ("one_channel_7T", "svs", ["--field", "7", "--seed", "6"]),
    ("array_os2_water_ref", "svs-multicoil", ["--oversampling", "2", "--water-ref", "--noise-scan", "--seed", "2"]),
    ("array_os1_pre_echo_water_ref", "svs-multicoil", ["--oversampling", "1", "--pre-echo", "8", "--water-ref",
                                                      "--seed", "3"]),
    ("array_os2_pre_echo_data_weights", "svs-multicoil", ["--pre-echo", "16", "--seed", "4"]),
    ("array_combined_only_oblique_hfp", "svs-multicoil", ["--no-uncombined", "--water-ref", "--seed", "7",
                                                          "--orientation", "oblique", "--patient-position", "HFP"]),
]


def snr(spec, peaks):
    """NAA amplitude over the RMS of the complex noise per point. The noise is
    the residual of a fit with the known resonances, over the middle of the
    FID: oversampling removal by cropping changes its first and last points."""
    fid = spec.fid()
    n = len(fid)
    a = E.basis(n, spec.dwell, spec.mhz, peaks, 2)
    coef = np.linalg.lstsq(a, fid[2:], rcond=None)[0]
    residual = (fid[2:] - a @ coef)[n // 8:7 * n // 8]
    return abs(coef[0]) / np.sqrt(np.mean(np.abs(residual) ** 2))


class SingleVoxel(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.runs = E.run_all(cls.root, CASES)

    def test_data_sets_and_comments(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                files = m.spectra()
                expected = m.truth["expectedDataSets"]
                self.assertEqual(len(files), len(expected))
                comments = [E.Spectrum(f).header["ImageComment"] for f in files]
                self.assertEqual(comments, [d["imageComment"] for d in expected])
                self.assertEqual(m.summary()["dataSets"], len(expected))
                self.assertTrue(m.summary()["ok"])

    def combined(self, m):
        return E.Spectrum(m.spectra()[-1])

    def test_peaks_within_0_02_ppm(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                s = self.combined(m)
                self.assertEqual(s.grid, (1, 1, 1))
                self.assertEqual(s.fids.shape[3], m.truth["sampling"]["vectorSize"])
                self.assertAlmostEqual(s.dwell, m.truth["sampling"]["dwellSeconds"], places=9)
                self.assertAlmostEqual(s.mhz, m.truth["sampling"]["frequencyMHz"], places=4)
                for p in m.truth["peaks"]:
                    found = E.find_peak(s.fid(), s.dwell, s.mhz, p["ppm"])
                    self.assertLess(abs(found - p["ppm"]), 0.02, "%s at %.4f ppm, truth %.2f" % (p["name"], found, p["ppm"]))

    def test_amplitude_ratios_within_5_percent(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                s = self.combined(m)
                peaks = m.truth["peaks"]
                coef, _ = E.fit(s.fid(), s.dwell, s.mhz, peaks)
                naa = abs(coef[0])
                for p, c in zip(peaks, coef):
                    ratio = abs(c) / naa
                    self.assertLess(abs(ratio / p["relativeAmplitude"] - 1.0), 0.05,
                                    "%s ratio %.3f, truth %.3f" % (p["name"], ratio, p["relativeAmplitude"]))

    def test_spectra_rotate_counter_clockwise_above_the_carrier(self):
        # NAA lies below the carrier: it must sit at a lower index than water
        # in numpy's fftshift(fft(fid)) (the NIfTI-MRS convention).
        s = self.combined(self.runs["one_channel_os1"])
        spec = np.abs(E.spectrum(s.fid(), 1))
        n = len(spec)
        naa = n // 2 + int(round((2.01 - 4.7) * s.mhz * n * s.dwell))
        mirrored = n // 2 - int(round((2.01 - 4.7) * s.mhz * n * s.dwell))
        self.assertGreater(spec[naa], 20 * spec[mirrored])

    def test_combined_snr_reaches_90_percent_of_optimal_with_water_reference(self):
        for name in ("array_os2_water_ref", "array_os1_pre_echo_water_ref"):
            with self.subTest(name):
                m = self.runs[name]
                files = m.spectra()
                peaks = m.truth["peaks"]
                channel_snr = [snr(E.Spectrum(f), peaks) for f in files[:-1]]
                combined = snr(E.Spectrum(files[-1]), peaks)
                optimal = np.sqrt(np.sum(np.square(channel_snr)))
                self.assertGreaterEqual(combined, 0.9 * optimal,
                                        "combined %.1f, optimal %.1f, channels %s" % (combined, optimal, channel_snr))
                # The channel SNRs follow the simulated sensitivities.
                expected = [c["expectedSnr"] for c in m.truth["channels"]]
                self.assertLess(np.max(np.abs(np.array(channel_snr) / expected - 1.0)), 0.15)

    def test_voxel_position_in_the_affine(self):
        # The volume of interest of the protocol: its centre, and its edges
        # along readout, phase and normal with its sizes.
        for name, m in self.runs.items():
            with self.subTest(name):
                s = self.combined(m)
                prot = E.read_protocol(m.dir)
                position = prot["YAPS.tPatientPosition"]
                voi = E.Volume(prot, "MEAS.sSpecPara.sVoI")
                np.testing.assert_allclose(s.world(0, 0, 0), E.mrs_world(position, voi.centre), atol=0.01)
                for col, direction, size in ((0, voi.readout, voi.readout_fov), (1, voi.phase, voi.phase_fov),
                                             (2, voi.normal, voi.thickness)):
                    np.testing.assert_allclose(s.affine[:3, col], E.mrs_world(position, direction) * size,
                                               atol=1e-3, err_msg=str(col))
                voxel = m.truth["voxel"]
                np.testing.assert_allclose(E.patient_to_world(position, voxel["patient"]), voxel["world"], atol=1e-9)


if __name__ == "__main__":
    E.main()
