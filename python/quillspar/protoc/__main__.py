"""`python -m quillspar.protoc`: see `quillspar.protoc.main`."""

import sys

from . import main

sys.exit(main())
