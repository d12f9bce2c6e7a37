"""Calibration runs: the reference voltage and the water-suppression flip
angle in the calibration values file, within one step of the truth, in lines
exactly as the file format says."""

import os
import re

import e2e_common as E

CALIB_FILE = os.path.join("host", "SimMeasData", "zorp_calibs.ini")


class Calibration(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.runs = {}
        for kind in ("calib-refv", "calib-vapor"):
            for seed in (1, 2, 3):
                m = E.Measurement(cls.root, "%s_%d" % (kind, seed), kind, "--seed", seed)
                m.run()
                cls.runs[(kind, seed)] = m
        # A truth on a grid point (nominal 100 deg): its neighbours lie well
        # below, so the exact line is known.
        m = E.Measurement(cls.root, "refv_given", "calib-refv", "--calib-truth", "277.7", "--vector-size", "512")
        m.run()
        cls.runs[("calib-refv", "given")] = m

    def file_text(self, m):
        with open(os.path.join(m.out, CALIB_FILE), newline="") as f:
            return f.read()

    def test_reference_voltage_within_one_step(self):
        for (kind, seed), m in self.runs.items():
            if kind != "calib-refv":
                continue
            with self.subTest(seed=seed):
                text = self.file_text(m)
                lines = text.split("\n")
                # "[CalibValues]", empty, "refV = %.1f", empty: every entry is
                # followed by one empty line.
                self.assertEqual(len(lines), 5, repr(text))
                self.assertEqual(lines[0], "[CalibValues]")
                self.assertEqual(lines[1], "")
                self.assertRegex(lines[2], r"^refV = -?\d+\.\d$")
                self.assertEqual(lines[3], "")
                self.assertEqual(lines[4], "")
                value = float(re.match(r"refV = (.*)$", lines[2]).group(1))
                self.assertLessEqual(abs(value - m.truth["refV"]), m.truth["tolerance"])
                if m.truth["unambiguous"]:
                    self.assertEqual(lines[:4], m.truth["expectedFileLines"])
                self.assertEqual(m.summary()["calibrationFile"]["content"], text)

    def test_vapor_flip_angle_within_one_step(self):
        for (kind, seed), m in self.runs.items():
            if kind != "calib-vapor":
                continue
            with self.subTest(seed=seed):
                text = self.file_text(m)
                lines = text.split("\n")
                # Appended to the file, which each run of duv starts empty:
                # "vaporFA = %1d " with its trailing blank, then an empty line.
                self.assertEqual(len(lines), 3, repr(text))
                self.assertRegex(lines[0], r"^vaporFA = -?\d+ $")
                self.assertEqual(lines[1], "")
                self.assertEqual(lines[2], "")
                value = int(lines[0].split("=")[1])
                self.assertLessEqual(abs(value - m.truth["vaporFA"]), m.truth["tolerance"])
                if m.truth["unambiguous"]:
                    self.assertEqual(lines[:2], m.truth["expectedFileLines"])

    def test_given_truth_gives_the_exact_line(self):
        m = self.runs[("calib-refv", "given")]
        self.assertTrue(m.truth["unambiguous"])
        self.assertEqual(self.file_text(m).split("\n")[:4], m.truth["expectedFileLines"])

    def test_calibration_display_pictures(self):
        for key, m in self.runs.items():
            with self.subTest(key=key):
                files = m.summary()["displayFiles"]
                self.assertTrue(any(f.endswith("calibration.svg") for f in files), files)
                # One spectrum per repetition is sent as well.
                self.assertEqual(len(m.spectra()), m.truth["options"]["repetitions"])


if __name__ == "__main__":
    E.main()
