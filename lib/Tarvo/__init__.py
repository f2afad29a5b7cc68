"""Tarvo: a small sequence-analysis toolkit (BLAST over the web, BLAST XML reading)."""


class MissingExternalDependencyError(Exception):
    """An outside resource the toolkit needs (a network, a program) is not available."""
