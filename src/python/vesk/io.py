"""Files: everything in the core's `_vesk.io`, robot pose files in any convention, image folders."""

from __future__ import annotations

import csv
import math
import pathlib
import re

import _vesk

from . import _yaml
from .poses import Convention, convention, robot_pose_to_matrix

__all__ = ["load_robot_poses", "image_files", "load_image_folder", "numbered"]

_YAML = {".yaml", ".yml"}
_IMAGES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".webp"}


def __getattr__(name):  # the core's io functions and records under the same names
    return getattr(_vesk.io, name)


def __dir__():
    return sorted(set(globals()) | set(dir(_vesk.io)))


def numbered(paths):
    """Paths sorted by the last number in their names (then by name): 2.png before 10.png."""
    def key(p):
        numbers = re.findall(r"\d+", pathlib.Path(p).stem)
        return (int(numbers[-1]) if numbers else math.inf, pathlib.Path(p).name)
    return sorted(paths, key=key)


def image_files(folder) -> list[pathlib.Path]:
    """The image files of a folder, by the number in their names; annotated twins are left out."""
    folder = pathlib.Path(folder)
    if not folder.is_dir():
        raise FileNotFoundError(f"no such folder: {folder}")
    files = [p for p in folder.iterdir() if p.suffix.lower() in _IMAGES and p.is_file()
             and not p.stem.endswith("_annotated")]
    return numbered(files)


def load_image_folder(folder):
    """(images as BGR arrays, their paths), in image_files order."""
    files = image_files(folder)
    return _vesk.io.load_images([str(p) for p in files]), files


class _Bad(ValueError):
    pass


def _pose_from_mapping(entry: dict, conv: Convention) -> list[float]:
    """Values in convention order from a mapping: flat keys (x, y, z, qx, ...), or nested
    position / translation and orientation / rotation / quaternion blocks (ROS poses)."""
    flat: dict[str, object] = {}
    for key, value in entry.items():
        k = str(key).lower()
        if isinstance(value, dict):
            prefix = {"position": "", "translation": "", "orientation": "q", "rotation": "q",
                      "quaternion": "q"}.get(k)
            if prefix is None:
                raise _Bad(f"unexpected block {key!r}")
            if prefix == "q" and conv.rotation != "quaternion":
                prefix = "r" if conv.rotation == "rotation_vector" else ""
            for sub, v in value.items():
                flat[prefix + str(sub).lower()] = v
        elif k in ("pose", "values") and isinstance(value, list):
            return _numbers(value, conv)
        else:
            flat[k] = value
    missing = [f for f in conv.fields if f not in flat]
    if missing:
        raise _Bad(f"missing {', '.join(missing)} (a {conv.name or conv.rotation} pose has "
                   f"{', '.join(conv.fields)})")
    return _numbers([flat[f] for f in conv.fields], conv)


def _numbers(values, conv: Convention) -> list[float]:
    if len(values) != conv.size:
        raise _Bad(f"expected {conv.size} values ({' '.join(f.upper() for f in conv.fields)}), found {len(values)}")
    out = []
    for v in values:
        if isinstance(v, bool) or not isinstance(v, (int, float, str)):
            raise _Bad(f"{v!r} is not a number")
        try:
            out.append(float(v))
        except ValueError:
            raise _Bad(f"{v!r} is not a number") from None
    return out


def _yaml_poses(path: pathlib.Path, conv: Convention):
    """(line, values) of each pose of a YAML file: one pose mapping or list, or a list of them
    (top level or under 'poses')."""
    try:
        doc = _yaml.load(path)
    except _yaml.YamlError as e:
        raise ValueError(f"{path}: {e}") from None
    if isinstance(doc, dict) and "poses" in doc and isinstance(doc["poses"], list):
        doc = doc["poses"]
    if isinstance(doc, list) and doc and all(isinstance(e, (list, dict)) for e in doc):
        return [(line, e) for line, e in zip(doc.lines, doc)]
    if isinstance(doc, (list, dict)):
        return [(getattr(doc, "line", None) or (doc.lines[0] if getattr(doc, "lines", None) else 1), doc)]
    raise ValueError(f"{path}: line 1: no pose in this file")


def _csv_poses(path: pathlib.Path, conv: Convention):
    """(line, values) of each row; a first row that is not all numbers is a header naming the columns."""
    text = path.read_text(encoding="utf-8-sig")
    rows = []
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if "," in line or ";" in line:
            fields = next(csv.reader([line], delimiter="," if "," in line else ";"))
        else:
            fields = line.split()
        rows.append((number, [f.strip() for f in fields]))
    out = []
    columns = None
    for k, (number, fields) in enumerate(rows):
        if k == 0 and not all(_is_number(f) for f in fields):
            names = [f.lower() for f in fields]
            if all(f in names for f in conv.fields):
                columns = [names.index(f) for f in conv.fields]
            elif len(names) != conv.size:
                raise ValueError(f"{path}: line {number}: the header names {', '.join(fields)}; a "
                                 f"{conv.name or conv.rotation} pose needs the columns "
                                 f"{', '.join(f.upper() for f in conv.fields)}")
            continue
        if columns is not None:
            if len(fields) <= max(columns):
                out.append((number, _Bad(f"expected {len(rows[0][1])} columns, found {len(fields)}")))
                continue
            fields = [fields[c] for c in columns]
        out.append((number, fields))
    return out


def _is_number(text: str) -> bool:
    try:
        float(text)
        return True
    except ValueError:
        return False


def _pose_files(folder: pathlib.Path) -> list[pathlib.Path]:
    files = [p for p in folder.iterdir() if p.is_file() and p.suffix.lower() in _YAML | {".csv", ".txt"}]
    if not files:
        raise FileNotFoundError(f"no pose files (.yaml, .yml, .csv, .txt) in {folder}")
    return numbered(files)


def load_robot_poses(path, convention_name, **options) -> list:
    """The robot_T_tcp (4x4, metres) of every pose in a pose file, or in a folder of pose files.

    CSV (comma, semicolon or whitespace separated, '#' comments), with or without a header: with
    one, columns are taken by name (the convention's fields, such as X Y Z A B C for "kuka", x y z
    qx qy qz qw for "ros"; other columns are ignored), else the row must hold exactly the
    convention's values in order. YAML: a mapping per pose (x, y, z and the rotation fields, or
    position / orientation blocks), or a list of values, or a list of either (under 'poses' or at the
    top). A folder: its .yaml/.yml/.csv/.txt files in the order of the number in their names. A
    malformed row raises ValueError naming the file and line.
    """
    conv = convention(convention_name, **options)
    path = pathlib.Path(path)
    if path.is_dir():
        return [T for f in _pose_files(path) for T in load_robot_poses(f, conv)]
    if not path.is_file():
        raise FileNotFoundError(f"no such pose file: {path}")
    entries = _yaml_poses(path, conv) if path.suffix.lower() in _YAML else _csv_poses(path, conv)
    poses = []
    for line, entry in entries:
        try:
            if isinstance(entry, Exception):
                raise entry
            values = _pose_from_mapping(entry, conv) if isinstance(entry, dict) else _numbers(entry, conv)
            poses.append(robot_pose_to_matrix(values, conv))
        except ValueError as e:
            raise ValueError(f"{path}: line {line}: {e}") from None
    if not poses:
        raise ValueError(f"{path}: no pose in this file")
    return poses
