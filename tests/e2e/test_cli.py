"""The command line as a user meets it: version, exit codes in every --help,
`make install`'s layout (cmake --install) running on its own, and several
measurements in one `duv run` with a broken one among them.

Environment: DUV_BUILD_DIR (the build tree to install from) and DUV_MAN_PAGE
(1 when the build makes the manual page)."""

import glob
import json
import os
import re
import signal
import subprocess
import time

import e2e_common as E

COMMANDS = ["run", "simulate", "inspect", "convert", "version"]


class CommandLine(E.E2eCase):

    def test_version_names_the_project_version_and_the_commit(self):
        flag, word = E.duv("--version").stdout, E.duv("version").stdout
        self.assertEqual(flag, word)
        m = re.fullmatch(r"duv (\d+\.\d+\.\d+) \(commit ([0-9a-f]{12}(-dirty)?|unknown)\)\n", flag)
        self.assertIsNotNone(m, flag)
        source = os.path.join(os.path.dirname(__file__), "..", "..")
        head = subprocess.run(["git", "-C", source, "rev-parse", "HEAD"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, universal_newlines=True)
        if head.returncode == 0:
            self.assertTrue(head.stdout.startswith(m.group(2)[:12]), (head.stdout, flag))

    def test_every_help_lists_the_exit_codes(self):
        for command in [[]] + [[c] for c in COMMANDS]:
            with self.subTest(command):
                text = E.duv(*(command + ["--help"])).stdout
                self.assertRegex(text, r"Exit status: 0[ .;]")

    def test_install_runs_from_its_prefix_with_its_own_modules_and_manual_page(self):
        prefix = os.path.join(self.root, "prefix")
        subprocess.run(["cmake", "--install", os.environ["DUV_BUILD_DIR"], "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        duv = os.path.join(prefix, "bin", "duv")
        host = glob.glob(os.path.join(prefix, "lib*", "**", "libduvhost.so"), recursive=True)
        self.assertEqual(len(host), 1, host)
        libdir = os.path.dirname(host[0])
        for module in ("Derovo2", "Viviv"):
            self.assertTrue(os.path.isfile(os.path.join(libdir, "duv", "lib%s.so" % module)), module)
        ldd = subprocess.run(["ldd", duv], stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
        found = re.search(r"libduvhost\.so => (\S+)", ldd)
        self.assertEqual(os.path.realpath(found.group(1)), os.path.realpath(host[0]), ldd)
        if os.environ.get("DUV_MAN_PAGE") == "1":
            with open(os.path.join(prefix, "share", "man", "man1", "duv.1")) as f:
                page = f.read()
            self.assertIn(".TH DUV", page)
            self.assertIn("Exit status", page)
        # The installed duv finds its modules without --module-path.
        m = os.path.join(self.root, "installed_svs")
        subprocess.run([duv, "simulate", "svs", m, "--averages", "1", "--vector-size", "256"], check=True,
                       stdout=subprocess.DEVNULL)
        run = subprocess.run([duv, "run", m, "--no-progress"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, r"^duv run: \d+ readouts? -> 1 spectra file, \d+ display images? in ")

    def test_several_measurements_run_side_by_side_and_a_broken_one_fails_alone(self):
        E.duv("simulate", "svs", os.path.join(self.root, "svs"), "--averages", "2", "--vector-size", "256")
        E.duv("simulate", "csi2d", os.path.join(self.root, "csi"), "--matrix", "8x8", "--vector-size", "256")
        E.duv("simulate", "images2d", os.path.join(self.root, "img"), "--matrix", "32x32x3")
        broken = os.path.join(self.root, "broken")
        os.makedirs(broken)
        with open(os.path.join(broken, "readouts.bin"), "wb") as f:
            f.write(b"not a measurement")
        out = os.path.join(self.root, "batch")
        inputs = [os.path.join(self.root, n) for n in ("svs", "broken", "csi", "img")]
        p = E.duv("run", *inputs, "--out", out, "-j", "2", "--no-progress", expect=2)
        with open(os.path.join(out, "summary.json")) as f:
            summary = json.load(f)
        status = {r["name"]: r["exitStatus"] for r in summary["runs"]}
        self.assertEqual(status, {"svs": 0, "broken": 2, "csi": 0, "img": 0})
        self.assertEqual(summary["failed"], ["broken"])
        self.assertFalse(summary["ok"])
        self.assertEqual(summary["jobs"], 2)
        for name in ("svs", "csi", "img"):
            run = next(r for r in summary["runs"] if r["name"] == name)
            self.assertTrue(run["summary"]["ok"], name)
            self.assertEqual(run["output"], os.path.join(out, name))
            # Each run keeps what its modules printed in its own folder.
            self.assertEqual(run["summary"]["logFiles"], [os.path.join(out, name, f) for f in ("trace.log", "module.log")])
            self.assertTrue(os.path.isfile(os.path.join(out, name, "module.log")), name)
            self.assertIn("%s: duv run: " % name, p.stdout)
        self.assertRegex(p.stderr, r"(?m)^broken: duv run: .*protocol\.txt")
        # Nothing left of the broken run, nor of the runs' captured output.
        self.assertEqual(sorted(os.listdir(out)), ["csi", "img", "index.html", "summary.json", "svs"])
        self.assertIn("4 measurements: 3 succeeded, 1 failed (broken)", p.stdout)
        # Several folders need --out.
        self.assertIn("need --out", E.duv("run", *inputs[:2], expect=2).stderr)

    def test_sigterm_ends_several_runs_orderly(self):
        m = os.path.join(self.root, "long")
        E.duv("simulate", "svs", m, "--averages", "512", "--vector-size", "1024")
        out = os.path.join(self.root, "terminated")
        p = subprocess.Popen([E.DUV, "run", m, m, m, "--out", out, "-j", "2", "--no-progress"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        while not os.path.isdir(out) and p.poll() is None:
            time.sleep(0.01)
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=300)
        self.assertEqual(p.returncode, 130, err)
        with open(os.path.join(out, "summary.json")) as f:
            summary = json.load(f)
        self.assertEqual(summary["interrupted"], "SIGTERM")
        self.assertFalse(summary["ok"])
        for run in summary["runs"]:
            # Not started, or ended by the forwarded signal with its outputs finished.
            self.assertIn(run["exitStatus"], (None, 130), run["name"])
            if run["exitStatus"] == 130:
                self.assertEqual(run["summary"]["interrupted"], "SIGTERM")
                self.assertEqual(run["summary"]["endStatus"], "0x20006")


if __name__ == "__main__":
    E.main()
