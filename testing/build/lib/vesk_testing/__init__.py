"""Ground truth for vesk: synthetic scenes and direct-OpenCV reference pipelines.

- `scene`: boards rendered through a known camera at known poses, robot-pose
  series and camera rigs with known transforms.
- `scenes`: the shared scenes the tests, the demo and the benchmarks use.
- `reference`: the pipelines of the core made of direct cv2 calls, to compare
  the core's results and times against.
"""
