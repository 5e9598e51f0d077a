"""A short, plain reading of SD data records, as the model the native code must match."""

from sdf_reference import lines

MALFORMED = "malformed"


def without_ending(line: bytes) -> bytes:
    if line.endswith(b"\r\n"):
        return line[:-2]
    return line[:-1] if line.endswith(b"\n") else line


def header_name(line: bytes) -> bytes | None:
    """The name of a header line: from the first '<' to the last '>'."""
    rest = line.strip()[2:]
    close = rest.rfind(b">")
    close = len(rest) if close < 0 else close
    start = rest.find(b"<", 0, close)
    return None if start < 0 else rest[start + 1 : close]


def records(section: bytes):
    """[(name, value)] of an SD data section, or MALFORMED.

    bytes.strip() removes exactly the ASCII whitespace that makes a line blank.
    """
    found, section_lines, i = [], lines(section), 0
    while i < len(section_lines):
        line = section_lines[i]
        i += 1
        if not line.strip():
            continue
        if not line.strip().startswith(b"> "):  # junk: skip the paragraph
            while i < len(section_lines) and section_lines[i].strip():
                i += 1
            i += 1
            continue
        name = header_name(line)
        if name is None:
            return MALFORMED
        values = []
        while i < len(section_lines) and section_lines[i].strip():
            values.append(without_ending(section_lines[i]))
            i += 1
        i += 1
        found.append((name, b"\n".join(values)))
    return found


def sd_data(block: bytes) -> bytes:
    """The SD data section of one block's bytes (ending with its $$$$ line)."""
    body_end = len(block) - (6 if block.endswith(b"\r\n") else 5)
    if block.startswith(b"$$$$"):
        return b""
    title_end = block.index(b"\n") + 1
    body = block[title_end:body_end]
    if body.startswith(b"M  END"):
        last = title_end
    else:
        hit = body.find(b"\nM  END")
        if hit < 0:
            return b""
        last = title_end + hit + 1
    return block[block.index(b"\n", last) + 1 : body_end]
