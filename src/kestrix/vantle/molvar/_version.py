"""The version of cMolvar and its companion: the one place it is written.

pyproject.toml reads it from here when the package is built, and the
package exports it as ``kestrix.vantle.molvar.__version__``.
"""

__version__ = "0.3.0"
