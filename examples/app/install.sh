#!/bin/sh
# Install step of the demo installer. The installer runs it after the payload
# has been unpacked, with the archive's features in the environment:
#   NAME       the payload's name          VFYFS  directory checked for room
#   FSSUB      directory unpacked into     QZ_VENDOR  the vendor (-O)
#   NOCOMPR    set (empty) for a raw payload; any -F item, here APP_VERSION
# $1 is the directory the application was unpacked into.
set -e
dest=$1
echo "install.sh: installing $NAME (version ${APP_VERSION:-?}, vendor ${QZ_VENDOR:-?})"
echo "install.sh: unpacked into $VFYFS/$FSSUB, payload ${NOCOMPR+stored raw}${NOCOMPR-compressed}"
chmod 755 "$dest/bin/hello"
echo "install.sh: smoke test: $("$dest/bin/hello" installer)"
