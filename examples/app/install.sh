#!/bin/sh
# Install step of the demo installer. The installer runs it after the payload
# has been unpacked, with the archive's features in the environment:
#   NAME       the payload's name          QZ_VENDOR  the vendor (-O)
#   PAYLOAD    tar, for a directory packed in one step; any -F item, here APP_VERSION
# It runs in the private directory the application was unpacked into (%d),
# which the installer removes afterwards; $1, given after -- on the
# installer's command line, is where to install.
set -e
dest=${1:?usage: hello-1.0.run -- DESTDIR}
echo "install.sh: installing $NAME (version ${APP_VERSION:-?}, vendor ${QZ_VENDOR:-?}) into $dest"
mkdir -p "$dest"
cp -R bin etc share "$dest"
chmod 755 "$dest/bin/hello"
echo "install.sh: smoke test: $("$dest/bin/hello" installer)"
