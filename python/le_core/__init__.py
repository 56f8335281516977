"""le_core from Python: sessions rendering numpy frames, the live pipeline, whole clips.

    import le_core
    with le_core.Session("identity.imx") as s:
        rgba = s.render_drive(0)          # H x W x 4 uint8

Every failure of the library raises le_core.Error with the library's own
message. The library is found through LE_CORE_LIBRARY, beside this package,
or on the system's library path.
"""
from ._native import Error
from ._native import path as library_path
from .clip import render_clip
from .live import FrameKind, Live, LiveFrame
from .session import Session

__all__ = ["Error", "FrameKind", "Live", "LiveFrame", "Session", "library_path", "render_clip"]
__version__ = "0.1.0"
