#!/usr/bin/env bash
# Puts the release tarballs that subprojects/*.wrap pin into
# subprojects/packagecache/, under the names the wraps give, so that meson
# checks their hashes and downloads nothing. They come through apt, as the
# orig tarballs of Debian 12's source packages of the same releases: the
# same bytes as the upstream release tarballs the wraps name. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt-private.sh

# wrap, Debian source package, upstream version
tarballs=(
  "nlohmann_json nlohmann-json3 3.11.2"
  "simdjson simdjson 3.0.1"
)

wrap_value() {
  awk -v key="$2" -F ' *= *' '$1 == key {print $2; exit}' "subprojects/$1.wrap"
}

cache=subprojects/packagecache
mkdir -p "$cache"

missing=()
for entry in "${tarballs[@]}"; do
  read -r wrap _ _ <<<"$entry"
  file=$cache/$(wrap_value "$wrap" source_filename)
  hash=$(wrap_value "$wrap" source_hash)
  if [ ! -f "$file" ] || ! echo "$hash  $file" | sha256sum -c --status; then
    missing+=("$entry")
  fi
done
((${#missing[@]})) || exit 0

apt_dir=$(mktemp -d)
trap 'rm -rf "$apt_dir"' EXIT
apt_private_init "$apt_dir" deb-src bookworm
mkdir "$apt_dir/source"
for entry in "${missing[@]}"; do
  read -r wrap package version <<<"$entry"
  (cd "$apt_dir/source" && apt_private "$apt_dir" -qq source --download-only "$package" >/dev/null)
  orig=$apt_dir/source/${package}_$version.orig.tar.gz
  file=$cache/$(wrap_value "$wrap" source_filename)
  hash=$(wrap_value "$wrap" source_hash)
  if [ ! -f "$orig" ]; then
    echo "wrap-sources: Debian's $package has no $version release tarball" >&2
    exit 1
  fi
  if ! echo "$hash  $orig" | sha256sum -c --status; then
    echo "wrap-sources: $orig does not have the hash subprojects/$wrap.wrap gives" >&2
    exit 1
  fi
  cp "$orig" "$file"
  echo "wrap-sources: $file"
done
