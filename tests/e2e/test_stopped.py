"""Measurements stopped before their end (`duv run --stop-after N`): a single
voxel is always processed; a CSI is stored only with long-term averaging
once the second average has begun."""

import os

import e2e_common as E

STOPPED = "0x20006"
NOT_STORED = "==>dacqAborted == true in the case of a CSI experiment; NO data will be stored"
STORED = "==> (stopped/Aborted) csi-data will be stored"


class Stopped(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.svs = E.Measurement(cls.root, "svs", "svs", "--averages", "4")
        # 8 x 8 points, two averages: one pass is 64 readouts.
        cls.long_term = E.Measurement(cls.root, "csi_long", "csi2d", "--matrix", "8x8", "--averages", "2",
                                      "--averaging-mode", "2", "--vector-size", "256")
        cls.short_term = E.Measurement(cls.root, "csi_short", "csi2d", "--matrix", "8x8", "--averages", "2",
                                       "--averaging-mode", "1", "--vector-size", "256")

    def run_stopped(self, m, n, tag):
        out = os.path.join(m.dir, "out_%s" % tag)
        E.duv("run", m.dir, "--out", out, "--no-progress", "--stop-after", n)
        m.out = out
        with open(os.path.join(out, "trace.log")) as f:
            trace = f.read()
        return m.summary(), trace

    def test_single_voxel_is_processed(self):
        summary, _ = self.run_stopped(self.svs, 2, "2")
        self.assertEqual(summary["fed"], 2)
        self.assertEqual(summary["endStatus"], STOPPED)
        self.assertEqual(summary["dataSets"], 1)
        self.assertTrue(summary["ok"])
        # The spectrum is there: NAA where the truth has it.
        s = E.Spectrum(self.svs.spectra()[0])
        self.assertLess(abs(E.find_peak(s.fid(), s.dwell, s.mhz, 2.01) - 2.01), 0.02)

    def test_csi_long_term_before_the_second_average_is_not_stored(self):
        summary, trace = self.run_stopped(self.long_term, 40, "40")
        self.assertEqual(summary["endStatus"], STOPPED)
        self.assertEqual(summary["dataSets"], 0)
        self.assertEqual(self.long_term.spectra(), [])
        self.assertIn(NOT_STORED, trace)
        self.assertTrue(summary["ok"])

    def test_csi_long_term_after_the_second_average_began_is_stored(self):
        per_pass = self.long_term.truth["readoutsPerAverage"]
        summary, trace = self.run_stopped(self.long_term, per_pass + 16, "80")
        self.assertEqual(summary["dataSets"], 1)
        self.assertIn(STORED, trace)
        s = E.Spectrum(self.long_term.spectra()[0])
        # Long-term averaging counts the averages actually acquired.
        self.assertEqual(s.header["NoOfAverages"], 2)
        self.assertEqual(sorted(s.grid[:2]), [8, 8])

    def test_csi_short_term_is_never_stored_when_stopped(self):
        summary, trace = self.run_stopped(self.short_term, 100, "100")
        self.assertEqual(summary["endStatus"], STOPPED)
        self.assertEqual(summary["dataSets"], 0)
        self.assertIn(NOT_STORED, trace)

    def test_csi_run_to_its_end_is_stored_in_either_mode(self):
        for m in (self.long_term, self.short_term):
            with self.subTest(m.dir):
                m.run()
                summary = m.summary()
                self.assertEqual(summary["endStatus"], "0x20004")
                self.assertEqual(summary["dataSets"], 1)


if __name__ == "__main__":
    E.main()
