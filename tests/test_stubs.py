import pathlib
import re
import subprocess

import _vesk

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs" / "_vesk"


def test_committed_stubs_match_the_module(tmp_path):
    subprocess.run(["bash", str(ROOT / "scripts" / "stubs.sh"), str(tmp_path)], check=True)
    fresh = {p.relative_to(tmp_path / "_vesk"): p.read_text() for p in (tmp_path / "_vesk").rglob("*") if p.is_file()}
    committed = {p.relative_to(STUBS): p.read_text() for p in STUBS.rglob("*") if p.is_file()}
    assert fresh == committed, "bindings changed: run bash scripts/stubs.sh and commit stubs/"


def test_every_public_name_is_typed_and_no_native_names_leak():
    text = {name: (STUBS / f"{name}.pyi").read_text() for name in ("__init__", "tf", "io", "diagnostics")}
    for module, stub in ((_vesk, "__init__"), (_vesk.tf, "tf"), (_vesk.io, "io"),
                         (_vesk.diagnostics, "diagnostics")):
        for name in (n for n in dir(module) if not n.startswith("_")):
            assert re.search(rf"\b{name}\b", text[stub]), (stub, name)
    for stub in text.values():  # signatures only: docstrings may name OpenCV functions
        for line in stub.splitlines():
            if line.lstrip().startswith("def ") or re.match(r"\s*\w+: ", line):
                assert not re.search(r"cv::|std::|vesk::|pybind11::|_vesk\.\w+\.\w+Target\b", line), line
    assert (STUBS / "py.typed").exists()
