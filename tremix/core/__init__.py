"""Compiled core of tremix: :mod:`tremix.core.orvex_parser`."""

import importlib
import os

# Every import of the compiled modules passes here first. Without them this
# folder is most likely a source checkout that Python finds before the
# installed package (the folder it starts in, or a script's, comes first on
# sys.path), and the bare error would only name a missing module.
try:
    importlib.import_module(f"{__name__}._native")  # which loads orvex_parser
except ModuleNotFoundError as exc:
    if exc.name not in (f"{__name__}._native", f"{__name__}.orvex_parser"):
        raise
    # Compiled modules that are there but not loadable (built for another
    # Python, say) are another matter: their own error says more.
    if any(not name.endswith((".py", ".pyi", ".pyc")) and name.startswith(("_native.", "orvex_parser."))
           for name in os.listdir(os.path.dirname(os.path.abspath(__file__)))):
        raise
    _package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    raise ImportError(
        f"tremix was imported from {_package}, which holds no compiled modules: most likely a source folder, "
        "found before the installed package because Python started in the folder above it. Run Python from "
        "another folder or with `python -P` to use the installed tremix (`pip install .` builds and installs "
        "it from a checkout)",
        name=__name__, path=__file__,
    ) from exc
