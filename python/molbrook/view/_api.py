"""The JSON interface of `molbrook view`: what each /api/ path answers for
its query (documented in the README's view section)."""

from __future__ import annotations

import io
import json
import os
import re
from collections.abc import Callable, Mapping
from typing import Any, NamedTuple

from molbrook.cli.errors import UsageError
from molbrook.native import SDBlock, write_sdf
from molbrook.view._files import Query, ViewedFile, display

PAGE = 24  # blocks of a page when the query does not say
MAX_PAGE = 500
DRAWING = (200, 150)  # pixels of a card's drawing
SD_TYPE = "chemical/x-mdl-sdfile"
_UNSAFE_IN_NAME = re.compile(r"[^A-Za-z0-9._-]+")

Params = Mapping[str, list[str]]


class Answer(NamedTuple):
    status: int
    content_type: str
    body: bytes
    headers: tuple[tuple[str, str], ...] = ()


class ApiError(Exception):
    """A request that cannot be answered: its status and why."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def as_json(value: Any, status: int = 200) -> Answer:
    return Answer(status, "application/json", json.dumps(value, ensure_ascii=False).encode("utf-8"))


def answer(files: Mapping[str, ViewedFile], endpoint: str, params: Params) -> Answer:
    """The answer to GET /api/ENDPOINT?params; errors as JSON {"error": ...}.

    >>> answer({"a.sdf": viewed}, "block", {"file": ["a.sdf"], "ordinal": ["99"]}).status
    404
    """
    handler = _ENDPOINTS.get(endpoint)
    try:
        if handler is None:
            raise ApiError(404, f"no API endpoint {endpoint!r}")
        return handler(files, params)
    except ApiError as error:
        return as_json({"error": str(error)}, error.status)
    except (UsageError, ValueError) as error:  # a bad expression or sort key, or a record the sort cannot read
        return as_json({"error": str(error)}, 400)


def info(files: Mapping[str, ViewedFile], params: Params) -> Answer:
    return as_json(
        {"files": [{"name": f.name, "blocks": len(f), "names": f.names, "key": f.key} for f in files.values()]}
    )


def blocks(files: Mapping[str, ViewedFile], params: Params) -> Answer:
    viewed = _file(files, params)
    query = Query(_one(params, "sort"), tuple(params.get("where", ())), _one(params, "q"))
    start = _number(params, "start", 0, 0, None)
    count = _number(params, "count", PAGE, 0, MAX_PAGE)
    chosen = viewed.order(query)
    page = list(chosen[start : start + count])
    return as_json(
        {
            "file": viewed.name,
            "total": len(chosen),
            "start": start,
            "blocks": [card(ordinal, block) for ordinal, block in zip(page, viewed.blocks(page))],
        }
    )


def card(ordinal: int, block: SDBlock[bytes]) -> dict[str, Any]:
    """What a card shows of a block; a malformed record is said, not raised."""
    shown: dict[str, Any] = {"ordinal": ordinal, "title": display(block.title), "svg": block.depict(*DRAWING)}
    try:
        shown["records"] = [[display(name), display(value)] for name, value in block.records()]
    except ValueError as error:
        shown["records"], shown["error"] = [], str(error)
    return shown


def block(files: Mapping[str, ViewedFile], params: Params) -> Answer:
    viewed = _file(files, params)
    ordinal = _number(params, "ordinal", None, 0, None)
    if ordinal >= len(viewed):
        raise ApiError(404, f"no block {ordinal}: {viewed.name} holds {len(viewed)}")
    return Answer(200, "text/plain; charset=utf-8", bytes(memoryview(viewed.blocks([ordinal])[0])))


def download(files: Mapping[str, ViewedFile], params: Params) -> Answer:
    """The blocks at `ordinals`, in that order, as `molbrook take` writes them."""
    viewed = _file(files, params)
    text = _one(params, "ordinals") or ""
    try:
        ordinals = [int(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise ApiError(400, f"ordinals must be numbers separated by commas, not {text!r}") from None
    outside = [ordinal for ordinal in ordinals if not 0 <= ordinal < len(viewed)]
    if not ordinals or outside:
        raise ApiError(
            400, f"no block {outside[0]}: {viewed.name} holds {len(viewed)}" if outside else "ordinals names no block"
        )
    out = io.BytesIO()
    write_sdf(out, viewed.blocks(ordinals))
    stem = _UNSAFE_IN_NAME.sub("_", os.path.basename(viewed.name).split(".", 1)[0]) or "blocks"
    return Answer(
        200, SD_TYPE, out.getvalue(), (("Content-Disposition", f'attachment; filename="{stem}-selected.sdf"'),)
    )


def _file(files: Mapping[str, ViewedFile], params: Params) -> ViewedFile:
    name = _one(params, "file")
    if name is None:
        raise ApiError(400, "which file? give file=NAME, a name /api/info lists")
    if name not in files:  # only the files given are served, by the names they were given as
        raise ApiError(404, f"no file {name!r} is served")
    return files[name]


def _one(params: Params, name: str) -> str | None:
    values = params.get(name)
    if not values:
        return None
    if len(values) > 1:
        raise ApiError(400, f"{name} given {len(values)} times")
    return values[0] or None


def _number(params: Params, name: str, default: int | None, low: int, high: int | None) -> int:
    text = _one(params, name)
    if text is None:
        if default is None:
            raise ApiError(400, f"give {name}=N")
        return default
    try:
        value = int(text)
    except ValueError:
        raise ApiError(400, f"{name} must be a whole number, not {text!r}") from None
    if value < low or (high is not None and value > high):
        raise ApiError(
            400,
            f"{name} must be from {low} to {high}, not {value}"
            if high is not None
            else f"{name} must be {low} or more, not {value}",
        )
    return value


_ENDPOINTS: dict[str, Callable[[Mapping[str, ViewedFile], Params], Answer]] = {
    "info": info,
    "blocks": blocks,
    "block": block,
    "download": download,
}
