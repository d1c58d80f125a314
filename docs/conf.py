"""Sphinx configuration of the documentation site; `tools/dev.sh docs` builds it into build/docs
with warnings as errors."""

import importlib.metadata
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "_ext"))

project = "quavix"
author = "the quavix developers"
release = version = importlib.metadata.version("quavix")

extensions = ["myst_parser", "quavix_api"]
source_suffix = {".md": "markdown"}
# Written by `tools/dev.sh bench` and included by benchmarks.md, not a page of its own.
exclude_patterns = ["performance.md"]

# Every reference has to resolve: a broken one is a warning, and warnings fail the build.
nitpicky = True
python_use_unqualified_type_names = True
python_display_short_literal_types = True

# Links between pages as [text](guide.md#errors), checked like every other reference.
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"quavix {release}"
html_static_path = ["_static"]
html_css_files = ["quavix.css"]
html_show_copyright = False
# The search page would fetch every hit's page for a summary, which browsers refuse for a site
# opened from disk (file://); the hits themselves come from the bundled index.
html_show_search_summary = False
