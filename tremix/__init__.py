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

from typing import TYPE_CHECKING

from tremix.core.orvex_parser import ORVEXBlock, ORVEXParser
from tremix.reading import read
from tremix.results import Results, VectorInfo, vectors

if TYPE_CHECKING:
    __version__: str

__all__ = ["ORVEXBlock", "ORVEXParser", "Results", "VectorInfo", "__version__", "read", "vectors"]


def __getattr__(name: str) -> str:
    # The version is the installed package's (the build takes it from
    # meson.build, its one place), looked up on first use: importing
    # importlib.metadata takes tens of milliseconds.
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = found = version("tremix")
        return found
    raise AttributeError(f"module 'tremix' has no attribute {name!r}")
