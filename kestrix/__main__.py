"""`python -m kestrix ...` is the `kestrix` command."""

import sys

from kestrix.cli import main

if __name__ == "__main__":
    sys.exit(main())
