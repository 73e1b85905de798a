"""Brivane: batch proof-reader for the SRT subtitles of medical teaching videos.

The engine lives in the extension module ``brivane.brivane``; importing this
package does nothing else.
"""

__version__ = "0.1.0"  # the one version source: the build reads it from here
