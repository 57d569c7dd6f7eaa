"""The error of the command line's input: whatever is wrong with a file to
stage or to delete by, said in one line for the user."""

__all__ = ["DataError"]


class DataError(Exception):
    """The input cannot be staged; the message is one line for the user."""
