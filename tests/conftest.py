import pathlib
import sys

# the synthetic-scene generator lives beside the tests
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
