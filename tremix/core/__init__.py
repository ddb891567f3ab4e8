"""Compiled core of tremix: :mod:`tremix.core.orvex_parser`."""
