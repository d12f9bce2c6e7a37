"""The report page (OUT/index.html) in a real browser: headless Chromium from
Debian loads the page of a single-voxel, a 2D CSI, a 3D CSI, a calibration
and an export run (run together: `duv run ... -j 2`) and the combined page;
every picture decodes, the page needs no network and no script, and a
screenshot of each is kept in DUV_SCREENSHOTS (the build folder) for a
person to look at.

Called as test_report_page.py DUV; environment DUV_SCREENSHOTS."""

import concurrent.futures
import glob
import html
import json
import os
import re
import shutil
import subprocess
import tempfile

import e2e_common as E

# Records, once the page has loaded, how many pictures there are and which
# did not decode. Added to a copy of the page: the page itself has no script.
CHECK = ("<script>window.addEventListener('load', () => { const im = [...document.images];"
         "document.body.setAttribute('data-check', JSON.stringify({images: im.length,"
         "broken: im.filter(i => !(i.complete && i.naturalWidth > 0)).map(i => i.alt)})); });</script>")


def chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name) or (os.path.exists("/usr/bin/" + name) and "/usr/bin/" + name)
        if path:
            return path
    raise AssertionError("chromium is not installed (make setup installs Debian's chromium)")


def load(page, screenshot):
    """Opens a checked copy of the page; returns (check, text of the DOM)."""
    checked = os.path.join(os.path.dirname(page), "index.checked.html")
    with open(page) as f:
        text = f.read()
    with open(checked, "w") as f:
        f.write(text.replace("</body>", CHECK + "</body>"))
    profile = tempfile.mkdtemp(prefix="duv-chromium-")
    try:
        p = subprocess.run([chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                            "--no-first-run", "--disable-background-networking", "--disable-component-update",
                            "--disable-sync", "--user-data-dir=" + profile, "--hide-scrollbars",
                            "--window-size=1300,2400", "--screenshot=" + screenshot, "--dump-dom",
                            "file://" + checked],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=180)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
        os.remove(checked)
    m = re.search(r'data-check="([^"]*)"', p.stdout)
    if not m:
        raise AssertionError("chromium did not load %s (exit %d)\n%s" % (page, p.returncode, p.stderr[-2000:]))
    return json.loads(html.unescape(m.group(1))), p.stdout


class ReportPage(E.E2eCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.shots = os.environ.get("DUV_SCREENSHOTS") or os.path.join(cls.root, "screenshots")
        os.makedirs(cls.shots, exist_ok=True)
        kinds = [("svs", "svs", "--averages", "2", "--vector-size", "512"),
                 ("csi2d", "csi2d", "--matrix", "16x16", "--vector-size", "256"),
                 ("csi3d", "csi3d", "--matrix", "8x8x4", "--vector-size", "256"),
                 ("calib", "calib-vapor"),
                 ("export", "images3d", "--matrix", "64x64x24")]
        for name, kind, *options in kinds:
            E.duv("simulate", kind, os.path.join(cls.root, name), *options)
        cls.names = [k[0] for k in kinds]
        cls.out = os.path.join(cls.root, "out")
        E.duv("run", *[os.path.join(cls.root, n) for n in cls.names], "--out", cls.out, "-j", "2", "--no-progress")
        pages = {n: os.path.join(cls.out, n, "index.html") for n in cls.names}
        pages["combined"] = os.path.join(cls.out, "index.html")
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            futures = {n: pool.submit(load, p, os.path.join(cls.shots, n + ".png")) for n, p in pages.items()}
            cls.loaded = {n: f.result() for n, f in futures.items()}
        cls.pages = pages

    def test_every_picture_of_every_page_decodes(self):
        least = {"svs": 2, "csi2d": 5, "csi3d": 5, "calib": 3, "export": 1, "combined": 0}
        for name, (check, _) in self.loaded.items():
            with self.subTest(name):
                self.assertEqual(check["broken"], [])
                self.assertGreaterEqual(check["images"], least[name])
                self.assertGreater(os.path.getsize(os.path.join(self.shots, name + ".png")), 10000)

    def test_a_broken_picture_is_noticed(self):
        page = os.path.join(self.root, "broken", "index.html")
        os.makedirs(os.path.dirname(page))
        with open(page, "w") as f:
            f.write('<!DOCTYPE html><html><body><img alt="bad" src="data:image/png;base64,AAAA"></body></html>')
        check, _ = load(page, os.path.join(self.root, "broken.png"))
        self.assertEqual(check["broken"], ["bad"])

    def test_pages_are_self_contained_and_need_no_script(self):
        for name, page in self.pages.items():
            with self.subTest(name):
                with open(page) as f:
                    text = f.read()
                self.assertNotIn("<script", text)
                self.assertIsNone(re.search(r'(src|href)="(https?:|//)', text))
                for link in re.findall(r'href="([^"]+)"', text):
                    self.assertTrue(os.path.exists(os.path.join(os.path.dirname(page), html.unescape(link))), link)

    def test_pages_show_what_each_kind_of_run_produced(self):
        dom = {n: d for n, (_, d) in self.loaded.items()}
        self.assertIn("succeeded", dom["svs"])
        self.assertIn("magnitude spectrum of", dom["svs"])
        for csi in ("csi2d", "csi3d"):
            for metabolite in ("NAA (2.01 ppm", "Cr (3.03 ppm", "Cho (3.20 ppm"):
                self.assertIn(metabolite, dom[csi])
        self.assertIn("slice 2 of 4", dom["csi3d"])
        self.assertIn("latest_calibration.svg", dom["calib"])
        self.assertIn("Calibration file", dom["calib"])
        self.assertIn("Exported images (middle slices)", dom["export"])
        for name in self.names:
            self.assertIn('href="%s/index.html"' % name, dom["combined"])


if __name__ == "__main__":
    E.main()
