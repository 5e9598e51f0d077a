"""Sphinx configuration of molbrook's documentation site (tools/build-docs)."""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

import molbrook  # noqa: E402  (after the path to the extensions is set)

project = "molbrook"
author = "the molbrook developers"
copyright = "the molbrook developers"
release = molbrook.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",
    "public_names",
    "cli_reference",
    "lint_rules",
    "depictions",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
templates_path: list[str] = []
html_static_path = ["_static"]
html_extra_path: list[str] = []

# Docstrings write code in single backticks, as Markdown does: they are
# literals here, not guesses at cross-references.
default_role = "literal"

# One docstring style, NumPy's, for the Python package and the compiled module.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
napoleon_use_param = True
# Attributes as fields of their class: autodoc's :members: lists them once.
napoleon_use_ivar = True
napoleon_preprocess_types = False

autodoc_default_options = {"members": True, "undoc-members": False, "member-order": "bysource"}
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
autodoc_class_signature = "mixed"
autodoc_preserve_defaults = True
# The package's shared words (molbrook/_types.py) shown as words, not
# spelled out as the unions they stand for; the API index says what each is.
autodoc_type_aliases = {name: name for name in ("Path", "Source", "Name", "Key", "Codes")}

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

# Only molbrook's own names are checked as cross-references: the site is
# built without the network, so the standard library's and other projects'
# objects (str, pandas.DataFrame, ...) have nothing to resolve against.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(?!molbrook\b).*"),
    # Nor are private ones, which the reference leaves out (the return
    # annotation of SDFSource.reader names the class behind it).
    (r"py:.*", r"molbrook(\.\w+)*\._\w+(\.\w+)*"),
]

# Internal links only: nothing leaves the machine.
linkcheck_ignore = [r"https?://.*"]

html_theme = "pydata_sphinx_theme"
html_title = f"molbrook {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "footer_start": ["copyright"],
    "footer_end": [],
}
# Light until the reader picks another mode (the theme logs an error for an unset one).
html_context = {"default_mode": "light"}
html_favicon = "_static/favicon.svg"
html_sidebars = {"index": []}
html_show_sourcelink = False
