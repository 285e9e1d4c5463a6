"""Rewrites an sdist so that the same commit gives the same bytes: every entry carries the commit's
time and no owner, in name order, and so does the gzip around them. (setuptools stamps the files it
generates, and the archive, with the time of the build.)

    normalize_sdist.py SDIST SECONDS
"""
import gzip
import io
import sys
import tarfile


def main():
    path, epoch = sys.argv[1], int(sys.argv[2])
    with tarfile.open(path, "r:gz") as source:
        entries = [(member, source.extractfile(member).read() if member.isfile() else None)
                   for member in sorted(source.getmembers(), key=lambda member: member.name)]
    archive = io.BytesIO()
    with tarfile.open(fileobj=archive, mode="w", format=tarfile.PAX_FORMAT) as target:
        for member, data in entries:
            member.mtime, member.uid, member.gid, member.uname, member.gname = epoch, 0, 0, "", ""
            member.pax_headers = {}
            target.addfile(member, io.BytesIO(data) if data is not None else None)
    with open(path, "wb") as out, gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=epoch) as packed:
        packed.write(archive.getvalue())


if __name__ == "__main__":
    main()
