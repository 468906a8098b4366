#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, with any named on the command line
# (bench/run_peers.sh adds its peers), when one is missing.
set -euo pipefail

# python3 and gzip: the DEFLATE tests check their streams against theirs; hyperfine: bench/;
# libssl-dev: the digests (libcrypto); libcurl4-openssl-dev: HTTP and HTTPS; unicode-data: the
# character database the case-folding tables are checked against; bsdutils: `script`, which gives
# the console tests a terminal.
packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config
          python3 gzip hyperfine libssl-dev libcurl4-openssl-dev unicode-data bsdutils
          libpng-dev libjpeg62-turbo-dev libgif-dev libtiff-dev python3-pil "$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
