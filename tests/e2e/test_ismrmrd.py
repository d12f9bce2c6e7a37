"""ISMRMRD files through both modules. The phantom generator's raw data
(`ismrmrd_generate_cartesian_shepp_logan`, one and eight coils, readout
oversampling 2) run through the spectroscopy module as a one-direction
phase-encoded measurement: the magnitude of the transform along the sample
axis of what it sends is the generator's phantom and the image
`ismrmrd_recon_cartesian_2d` reconstructs, voxel for voxel where the data
set's geometry puts them. The reconstructed images run through the NIfTI
writer: nibabel reads them with their shape, values and an affine that puts
every pixel where the ISMRMRD image header says. h5py reads the ISMRMRD
files independently of libismrmrd."""

import glob
import json
import os
import shutil
import subprocess
import unittest

import h5py
import nibabel as nib
import numpy as np

import e2e_common as E

GENERATOR = shutil.which("ismrmrd_generate_cartesian_shepp_logan")
RECON = shutil.which("ismrmrd_recon_cartesian_2d")
N = 64            # image matrix; the readout has 2 N samples
FOV = 300.0       # mm, the generator's field of view in both directions


def generate(path, coils, *options):
    subprocess.run([GENERATOR, "-m", str(N), "-O", "2", "-c", str(coils), "-o", path] + list(options),
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def reconstruct(raw, path):
    """ismrmrd_recon_cartesian_2d on a copy: magnitude image (lines, columns)."""
    shutil.copy(raw, path)
    subprocess.run([RECON, path], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with h5py.File(path, "r") as f:
        return np.asarray(f["dataset/cpp/data"][0, 0, 0])


def complex_array(ds):
    a = np.asarray(ds)
    return a["real"] + 1j * a["imag"]


def correlation(a, b):
    a = np.abs(np.asarray(a, dtype=float)).ravel()
    b = np.abs(np.asarray(b, dtype=float)).ravel()
    return float(np.dot(a, b) / np.linalg.norm(a) / np.linalg.norm(b))


def world_hfs(patient):
    """World frame of every NIfTI file duv writes, for HFS: (-sag, -cor, tra)."""
    p = np.asarray(patient, dtype=float)
    return np.array([-p[0], -p[1], p[2]])


def sent_images(out):
    """Per data set: |transform along the sample axis| of the sent FIDs
    (voxels x points, with the NIfTI-MRS sign), its affine and its header.
    The files hold the conjugate of what the module sent."""
    result = []
    for path in sorted(glob.glob(os.path.join(out, "spectra", "*.nii"))):
        img = nib.load(path)
        data = np.asarray(img.dataobj)
        fids = np.conj(data.reshape(-1, data.shape[-1]))
        spectra = np.fft.fftshift(np.fft.fft(fids, axis=1), axes=1)
        with open(path[:-4] + ".json") as f:
            header = json.load(f)
        result.append((np.abs(spectra), img, header))
    return result


def set_geometry(path, position, read, phase, slice_, images=None):
    """Writes position and direction cosines into every acquisition (or every
    image header of group `images`) of an ISMRMRD file."""
    with h5py.File(path, "r+") as f:
        if images is None:
            d = f["dataset/data"]
            for i in range(d.shape[0]):
                row = d[i]
                head = row["head"].copy()
                head["position"], head["read_dir"], head["phase_dir"], head["slice_dir"] = position, read, phase, slice_
                d[i] = (head, row["traj"], row["data"])
        else:
            d = f["dataset/%s/header" % images]
            for i in range(d.shape[0]):
                head = d[i].copy()
                head["position"], head["read_dir"], head["phase_dir"], head["slice_dir"] = position, read, phase, slice_
                d[i] = head


def oblique_frame():
    """A right-handed oblique frame (slice = read x phase), mainly transverse."""
    a, b = np.deg2rad(20.0), np.deg2rad(10.0)
    rz = np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1]])
    rx = np.array([[1, 0, 0], [0, np.cos(b), -np.sin(b)], [0, np.sin(b), np.cos(b)]])
    r = rz @ rx
    return r[:, 0], r[:, 1], r[:, 2]


@unittest.skipUnless(GENERATOR and RECON, "ismrmrd-tools (phantom generator and reconstruction) not installed")
class Ismrmrd(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        r = cls.root
        cls.clean = os.path.join(r, "clean.h5")
        generate(cls.clean, 1, "-n", "0")
        cls.noisy = os.path.join(r, "noisy.h5")
        generate(cls.noisy, 1)  # the generator's default noise
        cls.eight = os.path.join(r, "eight.h5")
        generate(cls.eight, 8, "-n", "0", "-C")
        with h5py.File(cls.clean, "r") as f:
            cls.phantom = np.abs(complex_array(f["dataset/phantom"])[0])
            cls.csm = np.abs(complex_array(f["dataset/csm"])[0, 0])
        with h5py.File(cls.eight, "r") as f:
            cls.coil_images = np.abs(complex_array(f["dataset/coil_images"])[0])[:, :, N // 2:N // 2 + N]

    def run_file(self, path, name, *options, expect=0):
        out = os.path.join(self.root, name)
        p = E.duv("run", path, "--out", out, "--no-progress", *options, expect=expect)
        return out, p

    # --- raw data through the spectroscopy module ---

    def line_of_voxels(self, img, position, phase_dir, n=N, spacing=FOV / N):
        """ISMRMRD image line of every sent voxel, from the data set's affine:
        pixel line y lies at position + (y - (n - 1) / 2) spacing phase_dir."""
        lines = []
        for v in range(n):
            world = (img.affine @ np.array([v, 0, 0, 1.0]))[:3]
            patient = np.array([-world[0], -world[1], world[2]])
            y = np.dot(patient - position, phase_dir) / spacing + (n - 1) / 2
            self.assertAlmostEqual(y, round(y), delta=1e-3)
            lines.append(int(round(y)))
        self.assertEqual(sorted(lines), list(range(n)))
        return lines

    def test_one_coil_sends_the_phantom(self):
        out, _ = self.run_file(self.clean, "clean")
        sent = sent_images(out)
        self.assertEqual(len(sent), 1)
        image, img, header = sent[0]
        self.assertEqual(img.shape, (N, 1, 1, N))
        self.assertEqual((header["NoOfCols"], header["NoOfRows"]), (N, 1))
        # The documented mirror: the module shows a transverse grid with its
        # first direction reversed, so sent voxel v is image line N - 1 - v.
        lines = self.line_of_voxels(img, np.zeros(3), np.array([0.0, 1.0, 0.0]))
        self.assertEqual(lines, list(range(N - 1, -1, -1)))
        ordered = image[::-1]
        # The single coil's sensitivity (0.37 ... 1.88 over the image) shapes
        # what it sees: the generator's coil image is phantom x csm.
        self.assertGreaterEqual(correlation(ordered, self.phantom * self.csm), 0.99)
        self.assertGreaterEqual(correlation(ordered / self.csm, self.phantom), 0.99)
        recon = reconstruct(self.clean, os.path.join(self.root, "clean_recon.h5"))
        self.assertGreaterEqual(correlation(ordered, recon), 0.99)
        self.assertEqual(np.unravel_index(np.argmax(ordered), ordered.shape),
                         np.unravel_index(np.argmax(recon), recon.shape))

    def test_one_coil_with_noise_matches_the_reconstruction(self):
        out, _ = self.run_file(self.noisy, "noisy")
        image = sent_images(out)[0][0][::-1]
        recon = reconstruct(self.noisy, os.path.join(self.root, "noisy_recon.h5"))
        self.assertGreaterEqual(correlation(image, recon), 0.99)

    def test_oblique_geometry_puts_every_voxel_on_its_line(self):
        path = os.path.join(self.root, "oblique.h5")
        shutil.copy(self.clean, path)
        read, phase, slice_ = oblique_frame()
        position = np.array([12.5, -30.0, 44.0])
        set_geometry(path, position, read, phase, slice_)
        out, _ = self.run_file(path, "oblique")
        image, img, header = sent_images(out)[0]
        lines = self.line_of_voxels(img, position, phase)
        recon = reconstruct(self.clean, os.path.join(self.root, "oblique_recon.h5"))
        ordered = np.empty_like(image)
        ordered[lines] = image
        self.assertGreaterEqual(correlation(ordered, recon), 0.99)

    def test_eight_coils_send_every_coil_image(self):
        over = os.path.join(self.root, "uncombined.txt")
        with open(over, "w") as f:
            f.write("MEAS.ucUncombImages = true\n")
        out, _ = self.run_file(self.eight, "eight", "--protocol", over)
        sent = sent_images(out)
        self.assertEqual(len(sent), 9)  # eight channels and the combination
        for c in range(8):
            self.assertGreaterEqual(correlation(sent[c][0][::-1], self.coil_images[c]), 0.99, "channel %d" % c)
        self.assertGreaterEqual(correlation(sent[8][0][::-1], self.phantom), 0.99)
        with open(os.path.join(out, "summary.json")) as f:
            self.assertEqual(json.load(f)["fed"], N + 1)  # the noise readout too

    # --- reconstructed images through the NIfTI writer ---

    def check_export(self, path, name, position, read, phase):
        out, _ = self.run_file(path, name, "--images", "cpp")
        with h5py.File(path, "r") as f:
            recon = np.asarray(f["dataset/cpp/data"][0, 0, 0])
        img = nib.load(os.path.join(out, "nifti", "mprage.nii"))
        self.assertEqual(img.shape, (N, N, 1, 1, 1))
        data = np.asarray(img.dataobj)[:, :, 0, 0, 0]
        d = FOV / N
        for line, col in [(0, 0), (10, 50), (63, 63), (32, 32), (5, 60), (40, 3)]:
            patient = position + (col - (N - 1) / 2) * d * read + (line - (N - 1) / 2) * d * phase
            got = img.affine @ np.array([col, N - 1 - line, 0, 1.0])
            np.testing.assert_allclose(got[:3], world_hfs(patient), atol=1e-3)
            self.assertEqual(data[col, N - 1 - line], recon[line, col])

    def test_reconstructed_images_land_where_the_header_says(self):
        path = os.path.join(self.root, "export.h5")
        reconstruct(self.clean, path)
        # The reconstruction writes no geometry: the default transverse frame.
        self.check_export(path, "export", np.zeros(3), np.array([1.0, 0, 0]), np.array([0, 1.0, 0]))

    def test_oblique_images_land_where_the_header_says(self):
        path = os.path.join(self.root, "export_oblique.h5")
        reconstruct(self.clean, path)
        read, phase, slice_ = oblique_frame()
        position = np.array([12.5, -30.0, 44.0])
        set_geometry(path, position, read, phase, slice_, images="cpp")
        self.check_export(path, "export_oblique", position, read, phase)

    # --- duv convert ---

    def test_convert_round_trips(self):
        converted = os.path.join(self.root, "converted")
        p = E.duv("convert", self.clean, converted)
        self.assertIn("duv convert: 64 readouts written to %s (protocol.txt, readouts.bin)" % converted, p.stdout)
        direct, _ = self.run_file(self.clean, "direct")
        E.duv("run", converted, "--out", os.path.join(self.root, "from_dir"), "--no-progress")
        for name in ("protocol.txt", "readouts.bin"):
            with open(os.path.join(converted, name), "rb") as a, open(os.path.join(direct, "input", name), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)
        a, b = sent_images(direct)[0], sent_images(os.path.join(self.root, "from_dir"))[0]
        np.testing.assert_array_equal(np.asarray(a[1].dataobj), np.asarray(b[1].dataobj))
        np.testing.assert_array_equal(a[1].affine, b[1].affine)

    def test_unmappable_input_is_refused_and_nothing_is_claimed(self):
        text = os.path.join(self.root, "notes.h5")
        with open(text, "w") as f:
            f.write("not an ISMRMRD file\n")
        out, p = self.run_file(text, "refused", expect=2)
        self.assertEqual(p.stderr, "duv run: %s: not an HDF5 file (ISMRMRD files are HDF5)\n" % text)
        self.assertFalse(os.path.exists(os.path.join(out, "summary.json")))
        self.assertFalse(os.path.exists(os.path.join(out, "input", "protocol.txt")))
        target = os.path.join(self.root, "refused_convert")
        p = E.duv("convert", self.clean, target, "--images", "nope", expect=2)
        self.assertEqual(p.stderr, "duv convert: %s: dataset \"dataset\" has no image group \"nope\" "
                                   "(image groups: none)\n" % self.clean)
        self.assertEqual(os.listdir(target), [])
        p = E.duv("run", target, "--images", "cpp", expect=2)
        self.assertEqual(p.stderr, "duv run: --dataset, --images and --protocol apply to ISMRMRD files, not to the "
                                   "measurement directory %s\n" % target)


if __name__ == "__main__":
    E.main()
