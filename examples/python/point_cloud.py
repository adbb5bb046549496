"""Writes one frame's point cloud as a PLY file and, where Open3D is installed (Debian:
python3-open3d), loads it into Open3D. Usage: point_cloud.py [OUT.ply]"""
import sys

import numpy as np

import lumox

path = sys.argv[1] if len(sys.argv) > 1 else "points.ply"
with lumox.open() as cam:
    frame = cam.capture(1)[0]
    points = cam.points(frame)  # (N, 3) float32 metres; the pixels with a distance
    grid = cam.points(frame, organized=True)  # (240, 320, 3), NaN where there is none

# Binary PLY: a text header, then the float32 x, y, z of each point.
with open(path, "wb") as f:
    f.write(f"ply\nformat binary_little_endian 1.0\nelement vertex {len(points)}\n"
            "property float x\nproperty float y\nproperty float z\nend_header\n".encode())
    f.write(points.astype("<f4").tobytes())
print(f"{path}: {len(points)} points, nearest {np.linalg.norm(points, axis=1).min():.3f} m,"
      f" image centre at {grid[120, 160]}")

try:
    import open3d as o3d
except ImportError:
    print("Open3D not installed (apt install python3-open3d): skipped")
    sys.exit(0)
cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points.astype(np.float64)))
print("Open3D:", cloud, "bounds", cloud.get_min_bound(), cloud.get_max_bound())
assert len(o3d.io.read_point_cloud(path).points) == len(points)
# o3d.visualization.draw_geometries([cloud]) opens a window on a desktop.
