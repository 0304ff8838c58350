#!/usr/bin/env bash
# Sets up a local Flink for `make test-flink` and bench/bench_flink.py, all
# under build/flink (a second run finds it there and does nothing):
#   - a JDK from Debian, only when java or javac is missing;
#   - the Flink jars from the apache-flink-libraries package on PyPI, fetched
#     with pip and unpacked to build/flink/lib (the package is the binary
#     distribution's lib/ folder; PyFlink itself has no CPython 3.13 wheel
#     and is not needed);
#   - the SQL launcher tools/flink/RunSql.java, compiled to build/flink/classes.
# Usage: tools/flink/setup.sh PYTHON
set -euo pipefail
cd "$(dirname "$0")/../.."

PY="${1:?usage: setup.sh PYTHON}"
VERSION=2.3.0
DIR=build/flink

if ! command -v java >/dev/null 2>&1 || ! command -v javac >/dev/null 2>&1; then
  echo "flink setup: no JDK found; installing Debian's default-jdk-headless"
  apt-get update && apt-get install -y --no-install-recommends default-jdk-headless
fi

if [ ! -f "$DIR/lib/.version-$VERSION" ]; then
  start=$(date +%s%N)
  rm -rf "$DIR/lib" "$DIR/download"
  mkdir -p "$DIR/download" "$DIR/lib"
  "$PY" -m pip download --quiet --disable-pip-version-check --no-deps --only-binary :all: \
      --dest "$DIR/download" "apache-flink-libraries==$VERSION"
  "$PY" - "$DIR/download" "$DIR/lib" <<'EOF'
import pathlib, sys, zipfile
download, lib = map(pathlib.Path, sys.argv[1:])
(wheel,) = download.glob("apache_flink_libraries-*.whl")
with zipfile.ZipFile(wheel) as z:
    for name in z.namelist():
        if name.startswith("pyflink/lib/") and name.endswith(".jar"):
            (lib / pathlib.PurePosixPath(name).name).write_bytes(z.read(name))
EOF
  rm -rf "$DIR/download"
  touch "$DIR/lib/.version-$VERSION"
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  echo "flink setup: Flink $VERSION jars fetched and unpacked in ${ms} ms, $(du -sh "$DIR/lib" | cut -f1) on disk"
fi

if [ ! -f "$DIR/classes/RunSql.class" ] || [ tools/flink/RunSql.java -nt "$DIR/classes/RunSql.class" ]; then
  # Compiled aside and moved in whole, so an interrupted compile leaves no class behind.
  rm -rf "$DIR/classes.new"
  javac -nowarn -cp "$DIR/lib/*" -d "$DIR/classes.new" tools/flink/RunSql.java
  rm -rf "$DIR/classes"
  mv "$DIR/classes.new" "$DIR/classes"
fi
