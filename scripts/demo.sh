#!/bin/sh
# Builds the deliverables and runs them on an example.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"

salt=00112233445566778899aabbccddeeff0123456789abcdef0f1e2d3c4b5a6978
echo "== salted password (pbkdf2_tool $salt secret)"
./build/tools/pbkdf2_tool "$salt" secret
echo "== client proof (zorvex_encrypt $salt cnonce snonce fnonce secret)"
./build/tools/zorvex_encrypt "$salt" cnonce snonce fnonce secret
