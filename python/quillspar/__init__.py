"""Fast protocol buffers for Python."""

from . import _core
