"""Bad inputs: `duv run` refuses a truncated file, a record whose channel count
does not match its size, a bad magic and a protocol that lacks a path, each
with exit status 2, one line naming the problem, and no output claimed;
`duv simulate` refuses bad requests the same way and writes nothing."""

import os
import shutil
import struct

import e2e_common as E

FILE_HEADER = 32
RECORD_FIXED = 4 + 192 + 144
USED_CHANNELS = 4 + 50  # offset of ushUsedChannels in a readout record


class BadInputs(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.svs = E.Measurement(cls.root, "good_svs", "svs-multicoil", "--averages", "3", "--vector-size", "256")
        cls.images = E.Measurement(cls.root, "good_images", "images2d", "--matrix", "16x16x3")

    def copy(self, m, name):
        d = os.path.join(self.root, name)
        shutil.rmtree(d, ignore_errors=True)
        shutil.copytree(m.dir, d)
        shutil.rmtree(os.path.join(d, "out"), ignore_errors=True)
        return d

    def refused(self, d, *needles):
        out = os.path.join(d, "out")
        p = E.duv("run", d, "--out", out, "--no-progress", expect=2)
        lines = p.stderr.strip().split("\n")
        self.assertEqual(len(lines), 1, p.stderr)
        self.assertTrue(lines[0].startswith("duv run: "), lines[0])
        for n in needles:
            self.assertIn(n, lines[0])
        # Nothing claimed: no summary, no spectra, pictures or NIfTI files.
        self.assertFalse(os.path.exists(os.path.join(out, "summary.json")))
        for sub in ("spectra", "display", "nifti"):
            self.assertEqual(os.listdir(os.path.join(out, sub)) if os.path.isdir(os.path.join(out, sub)) else [], [])
        return lines[0]

    def patch(self, path, offset, fmt, value):
        with open(path, "r+b") as f:
            f.seek(offset)
            f.write(struct.pack(fmt, value))

    def record_offset(self, path, index):
        with open(path, "rb") as f:
            f.seek(FILE_HEADER)
            size = struct.unpack("<I", f.read(4))[0]
        return FILE_HEADER + index * size

    def test_truncated_readouts(self):
        d = self.copy(self.svs, "truncated")
        path = os.path.join(d, "readouts.bin")
        os.truncate(path, os.path.getsize(path) - 100)
        last = self.svs.truth["averages"] - 1 + 0  # the last of the records
        self.refused(d, "readouts.bin", "record %d" % last, "field samples", "truncated record")

    def test_wrong_channel_count(self):
        d = self.copy(self.svs, "channels")
        path = os.path.join(d, "readouts.bin")
        self.patch(path, self.record_offset(path, 2) + USED_CHANNELS, "<H", 4)  # 8 channels of samples follow
        self.refused(d, "record 2", "field recordBytes", "does not match ushUsedChannels x ushSamplesInScan")

    def test_zero_channels(self):
        d = self.copy(self.svs, "zero_channels")
        path = os.path.join(d, "readouts.bin")
        self.patch(path, self.record_offset(path, 1) + USED_CHANNELS, "<H", 0)
        self.refused(d, "record 1", "field ushUsedChannels")

    def test_bad_magic(self):
        d = self.copy(self.svs, "magic")
        self.patch(os.path.join(d, "readouts.bin"), 0, "<8s", b"DUVRDOUX")
        self.refused(d, "file header", "field magic")

    def test_protocol_missing_a_path(self):
        d = self.copy(self.svs, "protocol")
        path = os.path.join(d, "protocol.txt")
        with open(path) as f:
            lines = [l for l in f if not l.startswith("MEAS.sSpecPara.lVectorSize")]
        with open(path, "w") as f:
            f.writelines(lines)
        self.refused(d, "protocol", "MEAS.sSpecPara.lVectorSize")

    def test_malformed_protocol_line(self):
        d = self.copy(self.svs, "protocol_syntax")
        with open(os.path.join(d, "protocol.txt"), "a") as f:
            f.write("MEAS.broken = \"unterminated\n")
        self.refused(d, "protocol.txt:")

    def test_truncated_images(self):
        d = self.copy(self.images, "truncated_images")
        path = os.path.join(d, "images.bin")
        os.truncate(path, os.path.getsize(path) - 10)
        self.refused(d, "images.bin", "record 2", "truncated record")

    def test_simulate_refuses_bad_requests(self):
        cases = [
            (["svs", "--oversampling", "3"], "--oversampling"),
            (["csi2d", "--matrix", "12x12"], "--matrix"),
            (["svs", "--vector-size", "1000"], "--vector-size"),
            (["svs", "--patient-position", "HFX"], "--patient-position"),
            (["images3d", "--water-ref"], "--water-ref does not apply"),
            (["svs", "--pre-echo", "100000"], "--pre-echo"),
            (["csi3d", "--matrix", "8x8"], "--matrix"),
            (["svs", "--channels", "0"], "--channels"),
            (["calib-refv", "--repetitions", "4"], "stepped range"),
            (["spectrum", ], "KIND"),
        ]
        for args, needle in cases:
            with self.subTest(args):
                d = os.path.join(self.root, "refused_sim")
                shutil.rmtree(d, ignore_errors=True)
                p = E.duv("simulate", args[0], d, *args[1:], expect=2)
                self.assertIn(needle, p.stderr)
                self.assertFalse(os.path.exists(os.path.join(d, "truth.json")))
                self.assertFalse(os.path.exists(os.path.join(d, "protocol.txt")))


if __name__ == "__main__":
    E.main()
