"""SQLite tables with fast staging, newest-wins uniqueness rules and index rebuilds.

The library lives in the extension module ``norvane.norvane``; the registry of
database handles lives in ``norvane.norvane_state``.
"""
