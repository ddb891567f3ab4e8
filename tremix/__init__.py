"""Fast, exact reader of ORVEX Neutral finite-element model and results files.

    import tremix

    parser = tremix.read("model.neu")          # also .gz/.bz2/.xz, Path, open files
    node_ids, coords = parser.get_nodes_arrays()
    for info in tremix.vectors(parser):        # the result vectors, values not converted
        print(info.set_id, info.vec_id, info.title, info.count)

The reader itself is the compiled module :mod:`tremix.core.orvex_parser`;
:mod:`tremix.frames` gives pandas frames, :mod:`tremix.parallel` reads many
files in worker processes.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser
    from tremix.checking import check
    from tremix.findings import Finding
    from tremix.reading import read
    from tremix.results import Results, VectorInfo, vectors
    # The submodules as the type checker sees them (at run time, __getattr__).
    from tremix import checking, cli, findings, frames, parallel, reading, results, summary

    __version__: str

# The names are loaded on first use, so that importing the package stays
# light: the `tremix` command loads NumPy and the reader inside its own
# handling of Ctrl-C, and nobody pays for importlib.metadata (tens of
# milliseconds) who does not ask for the version.
_EXPORTS = {
    "ORVEXBlock": "tremix.core.orvex_parser",
    "ORVEXParser": "tremix.core.orvex_parser",
    "Finding": "tremix.findings",
    "Results": "tremix.results",
    "VectorInfo": "tremix.results",
    "check": "tremix.checking",
    "read": "tremix.reading",
    "vectors": "tremix.results",
}

# Submodules reached as attributes (``tremix.frames.nodes(parser)``) are
# imported on first use, so that ``import tremix`` never imports pandas.
_SUBMODULES = frozenset({"checking", "cli", "findings", "frames", "parallel", "reading", "results", "summary"})

__all__ = ["Finding", "ORVEXBlock", "ORVEXParser", "Results", "VectorInfo", "__version__", "check", "read", "vectors"]


def __getattr__(name: str) -> Any:
    if name in _EXPORTS:
        value = getattr(importlib.import_module(_EXPORTS[name]), name)
    elif name in _SUBMODULES:
        value = importlib.import_module(f"{__name__}.{name}")
    elif name == "__version__":
        # The installed package's version; the build takes it from
        # meson.build, its one place.
        from importlib.metadata import version

        value = version("tremix")
    else:
        raise AttributeError(f"module 'tremix' has no attribute {name!r}")
    globals()[name] = value
    return value


# Names this module itself imports, which are not the package's.
_OWN_IMPORTS = frozenset({"Any", "TYPE_CHECKING", "annotations", "importlib"})


def __dir__() -> list[str]:
    # Submodules are listed once imported, as in any package: listing them
    # before would have inspect.getmembers() and the like import pandas.
    return sorted((set(globals()) | set(__all__)) - _OWN_IMPORTS)
