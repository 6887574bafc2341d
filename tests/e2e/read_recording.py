#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Reads a ktcli HDF5 recording back with h5py, the way a user's script
would, and writes what it found in a form the C++ tests compare:

  OUTDIR/listing.txt  one line per item, fields separated by tabs:
      attr   <object path>  <name>  <kind>  <value>
      group  <index>        <group name>
      data   <index>        <dataset>  <dtype>  <length>  <chunks>  <maxshape>  <compression>  <level>
      segment <start>       <end>      <reason>   (the rows of the root dataset "segments")
  OUTDIR/<index>.<dataset>.f64  the dataset's values, native float64

Text is written with backslash, tab and newline escaped as \\\\, \\t, \\n;
floats as float.hex(), so they read back bit for bit. Groups are listed in
name order; the tests match them to channels by their "name" attribute.
"""
import sys

import h5py
import numpy


def text(value):
    return value.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")


def attribute_lines(path, attrs):
    lines = []
    for name in sorted(attrs.keys()):
        value = attrs[name]
        if isinstance(value, bytes):
            kind, shown = "bytes", text(value.decode("utf-8", "replace"))
        elif isinstance(value, str):
            kind, shown = "str", text(value)
        elif isinstance(value, (numpy.floating, float)):
            kind, shown = "float", float(value).hex()
        elif isinstance(value, (numpy.integer, int)):
            kind, shown = "int", str(int(value))
        else:
            kind, shown = "other", text(repr(value))
        lines.append("\t".join(["attr", path, name, kind, shown]))
    return lines


def main():
    path, outdir = sys.argv[1], sys.argv[2]
    lines = []
    with h5py.File(path, "r") as f:
        lines += attribute_lines("/", f.attrs)
        if "segments" in f:
            for row in f["segments"][...]:
                reason = row["reason"]
                if isinstance(reason, bytes):
                    reason = reason.decode("utf-8")
                lines.append("\t".join(["segment", float(row["start"]).hex(), float(row["end"]).hex(), text(reason)]))
        names = [name for name in sorted(f.keys()) if isinstance(f[name], h5py.Group)]
        for index, name in enumerate(names):
            group = f[name]
            lines.append("\t".join(["group", str(index), text(name)]))
            lines += attribute_lines(group.name, group.attrs)
            for dataset in sorted(group.keys()):
                d = group[dataset]
                lines.append("\t".join([
                    "data", str(index), dataset, d.dtype.str, str(d.shape[0]),
                    str(d.chunks[0]) if d.chunks else "none",
                    "unlimited" if d.maxshape[0] is None else str(d.maxshape[0]),
                    str(d.compression), str(d.compression_opts)]))
                numpy.asarray(d[...], dtype=numpy.float64).tofile(f"{outdir}/{index}.{dataset}.f64")
    with open(f"{outdir}/listing.txt", "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
