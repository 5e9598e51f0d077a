"""Print the title of every block of an SD file (the bundled sample by default)."""

import sys
from pathlib import Path

from molbrook import SDBlock

SAMPLE = Path(__file__).resolve().parent.parent / "python" / "molbrook" / "data" / "sample.sdf"


def main() -> None:
    text = Path(sys.argv[1] if len(sys.argv) > 1 else SAMPLE).read_text()
    for piece in text.split("$$$$\n"):
        if piece.strip():
            print(SDBlock(piece + "$$$$\n").title)


if __name__ == "__main__":
    main()
