"""Fast, exact reader of ORVEX Neutral finite-element model and results files.

The reader itself is the compiled module :mod:`tremix.core.orvex_parser`::

    from tremix.core.orvex_parser import ORVEXParser

    parser = ORVEXParser("model.neu")
    node_ids, coords = parser.get_nodes_arrays()
"""

__version__ = "0.1.0"

from tremix.checking import Finding as Finding, check as check  # noqa: E402  (re-exported)
