"""Brivane: batch proof-reader for the SRT subtitles of medical teaching videos.

The engine lives in the extension module ``brivane.brivane``; importing this
package does nothing else.
"""
