"""wixl stamps the package with the time it was built, in its summary information (created, last
saved); both are set to the commit's time, so that the same commit gives the same package.

    normalize_msi.py MSI SECONDS
"""
import struct
import sys
import time

WINDOWS_EPOCH_S = 11644473600  # FILETIME counts 100 ns from 1601


def main():
    path, epoch = sys.argv[1], int(sys.argv[2])
    with open(path, "rb") as package:
        data = bytearray(package.read())
    # A FILETIME property: its type (VT_FILETIME), then the time. Those of this build are within a
    # day of now; nothing else in the package is.
    wanted = struct.pack("<Q", (epoch + WINDOWS_EPOCH_S) * 10_000_000)
    stamped = 0
    at = data.find(b"\x40\x00\x00\x00")
    while at >= 0:
        seconds = struct.unpack_from("<Q", data, at + 4)[0] / 10_000_000 - WINDOWS_EPOCH_S
        if abs(seconds - time.time()) < 24 * 3600:
            data[at + 4:at + 12] = wanted
            stamped += 1
        at = data.find(b"\x40\x00\x00\x00", at + 1)
    if stamped != 2:
        sys.exit(f"normalize_msi.py: {path}: found {stamped} build times, not the 2 of its summary")
    with open(path, "wb") as package:
        package.write(data)


if __name__ == "__main__":
    main()
