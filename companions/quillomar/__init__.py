"""The companion commands quillomar-live and quillomar-record, and what they are made of: where the
viewer and its preload libraries are, the display servers, the viewer's start, the settings and records
that pass between a command and its library, channels, dialects and the live log."""


class Failure(Exception):
    """Something the user has to know about, in one message."""
