"""Benchmarks for norvane; run them with ``python benchmarks/run.py`` (``make bench``)."""
