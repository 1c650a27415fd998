"""A reader for the small YAML files of robot cells: pose files, board files, camera_info.

Block mappings and sequences by indentation, one-line flow lists and mappings ([1, 2], {x: 1}),
plain and quoted scalars, comments and document markers. Anchors, tags, multi-line scalars and
multi-line flow collections are refused with the line they start on. Mappings and sequences remember
their line numbers (`Map.line`, `Seq.lines`), so that a reader can name the line of a bad entry.
"""

from __future__ import annotations

import re

__all__ = ["Map", "Seq", "YamlError", "loads", "load"]


class YamlError(ValueError):
    pass


class Map(dict):
    line = 0


class Seq(list):
    lines: list[int]


_NUMBER = re.compile(r"^[-+]?(\d[\d_]*)?(\.\d*)?([eE][-+]?\d+)?$")


def scalar(text: str):
    t = text.strip()
    if t[:1] in "\"'":
        if len(t) < 2 or t[-1] != t[0]:
            raise YamlError(f"unterminated quoted string {t!r}")
        body = t[1:-1]
        if t[0] == '"':
            return bytes(body, "utf-8").decode("unicode_escape")
        return body.replace("''", "'")
    low = t.lower()
    if low in ("", "~", "null"):
        return None
    if low in ("true", "false"):
        return low == "true"
    if low in (".inf", "+.inf", "-.inf"):
        return float("-inf") if low.startswith("-") else float("inf")
    if low == ".nan":
        return float("nan")
    if _NUMBER.match(t) and any(c.isdigit() for c in t):
        n = t.replace("_", "")
        try:
            return int(n)
        except ValueError:
            return float(n)
    return t


def _strip_comment(line: str) -> str:
    quote = None
    for i, c in enumerate(line):
        if quote:
            if c == quote:
                quote = None
        elif c in "\"'" and (i == 0 or line[i - 1] in " \t[{,:-"):
            quote = c
        elif c == "#" and (i == 0 or line[i - 1] in " \t"):
            return line[:i].rstrip()
    return line.rstrip()


def _split_key(text: str):
    """(key, rest) of 'key: rest' / 'key:', or None when text is no mapping entry."""
    quote = None
    depth = 0
    for i, c in enumerate(text):
        if quote:
            if c == quote:
                quote = None
        elif c in "\"'" and i == 0:
            quote = c
        elif c in "[{":
            depth += 1
        elif c in "]}":
            depth -= 1
        elif c == ":" and depth == 0 and (i + 1 == len(text) or text[i + 1] in " \t"):
            return str(scalar(text[:i])), text[i + 1:].strip()
    return None


def _flow(text: str, line: int):
    """A one-line flow collection or scalar."""
    pos = 0

    def value():
        nonlocal pos
        while pos < len(text) and text[pos] in " \t":
            pos += 1
        if pos < len(text) and text[pos] in "[{":
            close = "]" if text[pos] == "[" else "}"
            out = Seq() if close == "]" else Map()
            if close == "]":
                out.lines = []
            else:
                out.line = line
            pos += 1
            while True:
                while pos < len(text) and text[pos] in " \t":
                    pos += 1
                if pos >= len(text):
                    raise YamlError(f"line {line}: unclosed {'[' if close == ']' else '{'} (flow collections "
                                    "must end on their line)")
                if text[pos] == close:
                    pos += 1
                    return out
                if close == "]":
                    out.append(value())
                    out.lines.append(line)
                else:
                    start = pos
                    depth = 0
                    while pos < len(text) and not (depth == 0 and text[pos] in ":,}"):
                        depth += text[pos] in "[{"
                        depth -= text[pos] in "]}"
                        pos += 1
                    key = str(scalar(text[start:pos]))
                    if pos < len(text) and text[pos] == ":":
                        pos += 1
                        out[key] = value()
                    else:
                        out[key] = None
                while pos < len(text) and text[pos] in " \t":
                    pos += 1
                if pos < len(text) and text[pos] == ",":
                    pos += 1
                elif pos < len(text) and text[pos] != close:
                    raise YamlError(f"line {line}: expected ',' or '{close}' at {text[pos:]!r}")
        start = pos
        quote = None
        depth = 0
        while pos < len(text):
            c = text[pos]
            if quote:
                quote = None if c == quote else quote
            elif c in "\"'" and pos == start:
                quote = c
            elif c in ",]}" and depth == 0:
                break
            pos += 1
        return scalar(text[start:pos])

    result = value()
    if text[pos:].strip():
        raise YamlError(f"line {line}: unexpected {text[pos:].strip()!r}")
    return result


def loads(text: str):
    lines = []
    for number, raw in enumerate(text.splitlines(), 1):
        if "\t" in raw[: len(raw) - len(raw.lstrip())]:
            raise YamlError(f"line {number}: tabs are not allowed in indentation")
        stripped = _strip_comment(raw)
        if not stripped.strip() or stripped.strip() == "---" or stripped.startswith("%"):
            continue
        if stripped.strip() == "...":
            break
        content = stripped.lstrip()
        if content[:1] in "&*!|>":
            raise YamlError(f"line {number}: anchors, tags and block scalars are not supported")
        lines.append((len(stripped) - len(content), content, number))
    if not lines:
        return None
    pos = 0

    def block(indent: int):
        nonlocal pos
        first_indent, content, number = lines[pos]
        if content.startswith("- ") or content == "-":
            seq = Seq()
            seq.lines = []
            while pos < len(lines) and lines[pos][0] == first_indent and (
                    lines[pos][1].startswith("- ") or lines[pos][1] == "-"):
                ind, content, number = lines[pos]
                rest = content[1:].lstrip()
                seq.lines.append(number)
                if not rest:
                    pos += 1
                    seq.append(block(ind + 1) if pos < len(lines) and lines[pos][0] > ind else None)
                else:
                    # "- key: value" opens a mapping whose entries align with 'key'
                    inner = ind + (len(content) - len(rest))
                    lines[pos] = (inner, rest, number)
                    seq.append(block(inner))
            return seq
        out = Map()
        out.line = number
        while pos < len(lines) and lines[pos][0] == first_indent:
            ind, content, number = lines[pos]
            kv = _split_key(content)
            if kv is None:
                if len(lines) == 1 or out:
                    raise YamlError(f"line {number}: expected 'key: value'")
                pos += 1
                return _flow(content, number)
            key, rest = kv
            if key in out:
                raise YamlError(f"line {number}: duplicate key {key!r}")
            pos += 1
            if rest:
                out[key] = _flow(rest, number)
            elif pos < len(lines) and (lines[pos][0] > ind or (
                    lines[pos][0] == ind and lines[pos][1].startswith("-"))):
                out[key] = block(lines[pos][0])
            else:
                out[key] = None
        if pos < len(lines) and lines[pos][0] > first_indent:
            raise YamlError(f"line {lines[pos][2]}: unexpected indentation")
        return out

    result = block(lines[0][0])
    if pos < len(lines):
        raise YamlError(f"line {lines[pos][2]}: unexpected indentation")
    return result


def load(path):
    with open(path, encoding="utf-8") as f:
        return loads(f.read())
