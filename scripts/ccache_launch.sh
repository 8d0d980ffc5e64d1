#!/bin/sh
# The compiler cache in front of every compile (CMake's compiler launcher):
#   sh ccache_launch.sh <source folder> <ccache> <compiler> <arguments>...
# Paths are hashed relative to the source folder and the working folder is left out, so that a
# clone in another folder (CI's) reuses this one's objects; precompiled headers need the
# sloppiness, as ccache's manual says.
#
# The compile that makes a precompiled header is hashed together with the old header file when
# one lies beside it (ccache takes it for a use of a precompiled header). A fresh clone has none
# there, so it would never meet a header remade in a folder that had one; its own header, made
# anew, is never byte for byte the same, and every file using it misses as well. So the old
# header goes first, and every folder makes it the way a fresh clone does.
base=$1
ccache=$2
shift 2
previous=
for argument do
  if [ "$previous" = "-o" ]; then
    case $argument in *.gch) rm -f "$argument" ;; esac
  fi
  previous=$argument
done
CCACHE_BASEDIR=$base
CCACHE_NOHASHDIR=1
CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
export CCACHE_BASEDIR CCACHE_NOHASHDIR CCACHE_SLOPPINESS
exec "$ccache" "$@"
