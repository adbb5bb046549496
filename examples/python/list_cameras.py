"""Lists the cameras on the bus."""
import sys

import lumox

cameras = lumox.devices()  # bus, port, address, speed, product, serial
for cam in cameras:
    print(f"{cam.bus}:{cam.port}  address {cam.address}  {cam.product}  {cam.serial}")
print(f"{len(cameras)} camera(s)")
sys.exit(0 if cameras else 1)
