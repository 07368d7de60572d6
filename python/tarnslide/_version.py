"""The package's version: the library's version it was released with."""
__version__ = "1.4.0"
