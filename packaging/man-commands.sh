#!/bin/sh
# man-commands.sh PROGRAM OUT: writes a help2man include file whose COMMANDS section holds each
# subcommand's own --help, so that the manual page shows exactly what the program prints.
set -eu
program=$1
out=$2
# roff: a backslash is written \e, and a line starting with . or ' would be read as a request.
escape() { sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"; }
{
  echo "[COMMANDS]"
  for command in info convert verify snapshot mosaic; do
    echo ".SS \"$command\""
    echo ".nf"
    "$program" "$command" --help | escape
    echo ".fi"
  done
  echo "[SEE ALSO]"
  echo ".BR qmv2avi (1)"
} >"$out.tmp"
mv "$out.tmp" "$out"
