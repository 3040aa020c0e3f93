"""The version of the package: the one place it is written."""

__version__ = "0.2.0"
