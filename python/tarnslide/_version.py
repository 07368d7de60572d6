"""The package's version: the library's version it was released with."""
__version__ = "1.3.0"
