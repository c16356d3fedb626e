"""python -m ombrix_sdk.demo [options]; see ombrix_sdk.demo.cli."""
import sys

from ombrix_sdk.demo.cli import main

if __name__ == "__main__":
    sys.exit(main())
