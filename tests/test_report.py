"""The main job's HTML report, rendered from the built-in cell and opened in a real headless browser."""

import html.parser
import os
import pathlib
import shutil
import subprocess
import sys

import cv2
import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
MAIN = ROOT / "demo" / "main.py"
SECTIONS = ["ground-truth", "intrinsics-hand-eye", "hand-eye", "benchmark", "intrinsics-cam-0", "intrinsics-cam-1",
            "intrinsics-cam-2", "rig"]


def run_main(*args):
    return subprocess.run([sys.executable, str(MAIN), *map(str, args)], capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def built_in_cell(tmp_path_factory):
    out = tmp_path_factory.mktemp("main_job")
    proc = run_main("--out", out)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return out, proc.stdout


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.images, self.links, self.ids, self.tags = [], [], [], set()

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.add(tag)
        if tag == "img":
            self.images.append(a.get("src", ""))
        for key in ("href", "src"):
            if key in a and tag != "img":
                self.links.append(a[key])
        if tag == "section":
            self.ids.append(a.get("id"))


def test_page_is_self_contained_with_every_section(built_in_cell):
    out, stdout = built_in_cell
    page = Page()
    page.feed((out / "report.html").read_text(encoding="utf-8"))
    assert page.ids[:len(SECTIONS)] == SECTIONS and not any(i.startswith("failed") for i in page.ids)
    assert len(page.images) >= 20 and all(src.startswith("data:image/png;base64,") for src in page.images)
    assert page.links == [] and "script" not in page.tags
    assert "MISSED" not in (out / "report.html").read_text(encoding="utf-8")  # every ground-truth bound is met
    assert f"report: {out / 'report.html'}" in stdout


def test_browser_shows_the_page_without_console_errors(built_in_cell, tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed (Debian's package 'chromium'; CI installs it)")
    out, _ = built_in_cell
    shot = tmp_path / "shot.png"
    proc = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                           "--enable-logging=stderr", "--v=0", "--window-size=1280,2400",
                           f"--screenshot={shot}", (out / "report.html").as_uri()],
                          capture_output=True, text=True, timeout=120,
                          env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})  # no sanitizer runtime
    assert shot.exists(), proc.stderr[-2000:]
    console = [line for line in proc.stderr.splitlines() if ":CONSOLE" in line]
    assert console == []
    image = cv2.imread(str(shot), cv2.IMREAD_GRAYSCALE)
    assert image.shape == (2400, 1280)
    background = np.bincount(image.ravel()).argmax()
    assert np.mean(np.abs(image.astype(int) - int(background)) > 30) > 0.02  # text and plots, not a blank page


def test_a_failed_stage_keeps_what_finished(built_in_cell, tmp_path):
    out, _ = built_in_cell
    proc = run_main("--out", tmp_path, "--hand-eye-dir", out / "datasets" / "hand_eye", "--rig-dir",
                    tmp_path / "no_such_rig", "--charuco", 12, 9, 0.03, 0.022, "DICT_4X4_1000")
    assert proc.returncode != 0
    page = Page()
    text = (tmp_path / "report.html").read_text(encoding="utf-8")
    page.feed(text)
    assert page.ids == ["intrinsics-hand-eye", "hand-eye", "benchmark", "failed-1"]
    assert "Failed stages: calibration" in text and "missing camera folder" in text
    assert run_main("--out", tmp_path / "quiet", "--no-report", "--hand-eye-dir", tmp_path / "none",
                    "--charuco", 12, 9, 0.03, 0.022, "DICT_4X4_1000").returncode != 0
    assert not (tmp_path / "quiet" / "report.html").exists()
