import sys
from pathlib import Path

# The test modules share plugin_support; under --import-mode=importlib
# their own directory is not on sys.path.
_HERE = str(Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)
