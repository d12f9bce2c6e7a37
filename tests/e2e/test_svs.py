"""Single-voxel spectroscopy from raw readouts to NIfTI-MRS: peaks, amplitude
ratios, coil combination SNR, data sets and voxel geometry against the truth."""

import glob
import json
import os
import re

import nibabel as nib
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


def display_curve(svg_path):
    """The current spectrum of a display picture: the green polyline's points
    (x, y in pixels) and the x of its centre marker (the carrier), the grey
    vertical line that follows the curve's frame."""
    with open(svg_path) as f:
        lines = re.findall(r'<polyline [^>]*stroke="([^"]+)" points="([^"]*)"', f.read())
    polys = [(colour, np.array([[float(v) for v in p.split(",")] for p in pts.split()])) for colour, pts in lines]
    curve = next(p for c, p in polys if c == "rgb(0,255,0)")
    marker = polys[[c for c, _ in polys].index("rgb(0,255,0)") + 2][1]
    assert len(marker) == 2 and marker[0, 0] == marker[1, 0], "no vertical centre marker"
    return curve, marker[0, 0]


class SingleVoxel(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.runs = E.run_all(cls.root, CASES, "--data-sets")

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

    def test_sent_data_sets_rotate_clockwise_and_the_files_are_their_conjugate(self):
        m = self.runs["one_channel_os1"]
        sent = sorted(glob.glob(os.path.join(m.out, "data-sets", "*.nii")))
        self.assertEqual(m.summary()["dataSetFiles"], sent)
        self.assertEqual([os.path.basename(f) for f in sent], [os.path.basename(f) for f in m.spectra()])
        for a, b in zip(sent, m.spectra()):
            np.testing.assert_array_equal(np.asarray(nib.load(a).dataobj), np.conj(np.asarray(nib.load(b).dataobj)))
        s = E.Spectrum(sent[-1])
        spec = np.abs(E.spectrum(s.fid(), 1))
        n = len(spec)
        offset = int(round((2.01 - 4.7) * s.mhz * n * s.dwell))
        self.assertGreater(spec[n // 2 - offset], 20 * spec[n // 2 + offset])  # NAA above the centre

    def test_display_shows_the_metabolites_inside_the_proton_window(self):
        # The raw readouts rotate counter-clockwise above the carrier: the
        # display's sign +1 transform puts the metabolites right of water,
        # inside the window from 0.45 of the spectrum.
        for name in ("one_channel_os1", "one_channel_7T"):
            with self.subTest(name):
                m = self.runs[name]
                curve, centre_x = display_curve(os.path.join(m.out, "display", "latest_spectrum.svg"))
                step = curve[1, 0] - curve[0, 0]
                sampling = m.truth["sampling"]
                per_point = 1.0 / (sampling["vectorSize"] * sampling["dwellSeconds"] * sampling["frequencyMHz"])
                ppm = 4.7 - (curve[:, 0] - centre_x) / step * per_point
                height = curve[:, 1].max() - curve[:, 1]  # y grows downwards
                self.assertGreater(ppm[0], 4.7)  # water lies inside the window, near its left edge
                for p in m.truth["peaks"]:
                    if p["name"] == "water":
                        continue
                    near = np.where(np.abs(ppm - p["ppm"]) <= 0.1)[0]
                    self.assertGreater(len(near), 4, "%s outside the display window" % p["name"])
                    k = near[np.argmax(height[near])]
                    self.assertLess(abs(ppm[k] - p["ppm"]), 0.03, "%s at %.3f ppm" % (p["name"], ppm[k]))
                    self.assertGreater(height[k], 0.05 * height.max(), p["name"])
                    self.assertGreater(height[k], 3 * np.median(height), p["name"])

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

    def test_header_keys_follow_the_standard(self):
        for name, m in self.runs.items():
            with self.subTest(name):
                for f in m.spectra():
                    E.check_header_keys(self, E.Spectrum(f), m.truth)

    def test_protocol_values_the_standard_forbids_are_warned_about_on_standard_error(self):
        m = E.Measurement(self.root, "odd_protocol", "svs")
        path = os.path.join(m.dir, "protocol.txt")
        with open(path) as f:
            text = f.read()
        for old, new in (('tNucleus = "1H"', 'tNucleus = "proton"'), ("lFrequency = 123200000", "lFrequency = 123")):
            self.assertIn(old, text)
            text = text.replace(old, new)
        with open(path, "w") as f:
            f.write(text)
        p = m.run()
        warnings = [
            'ResonantNucleus left out of the spectra: "proton" is no mass number followed by a chemical symbol '
            '(such as 1H, 31P)',
            "SpectrometerFrequency left out of the spectra: MEAS.sTXSPEC.asNucleusInfo.0.lFrequency 123.0 is not "
            "the frequency in Hz of a magnet from 0.05 to 28 T"]
        self.assertEqual([line for line in p.stderr.splitlines() if "warning" in line],
                         ["duv run: warning: " + w for w in warnings])
        self.assertEqual(m.summary()["warnings"], warnings)
        for f in m.spectra():
            img = nib.load(f)
            meta = json.loads(img.header.extensions[0].get_content())
            self.assertNotIn("ResonantNucleus", meta)
            self.assertNotIn("SpectrometerFrequency", meta)
            self.assertNotIn("SpecFreqChemShift", meta)

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
                np.testing.assert_allclose(E.mrs_world(position, voxel["patient"]), voxel["world"], atol=1e-9)


if __name__ == "__main__":
    E.main()
