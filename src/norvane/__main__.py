"""python -m norvane: the norvane command."""

from norvane.cli import main

main("python -m norvane")
