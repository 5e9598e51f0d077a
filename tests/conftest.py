"""Shared fixtures: the real SD files of the corpus, when present."""

from pathlib import Path

import pytest
from hypothesis import settings

# Real SD files that nobody on this project wrote; absent from a user's clone.
CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
CORPUS_FILES = sorted(
    p for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() in {".sdf", ".sd", ".mol"}
) if CORPUS.is_dir() else []


def corpus_params():
    """pytest params for every corpus file, or one skipped param without a corpus."""
    if not CORPUS_FILES:
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"no corpus at {CORPUS}"))]
    return [pytest.param(p, id=str(p.relative_to(CORPUS))) for p in CORPUS_FILES]


# Sanitizer runs (tools/test-sanitized): every property still runs, with
# fewer examples by default and no deadline, as instrumented code is slow.
settings.register_profile("sanitize", max_examples=25, deadline=None)
