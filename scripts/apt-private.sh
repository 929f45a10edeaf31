# Sourced by the dependency scripts: apt-get on the Debian archive this
# machine's apt is configured with, but with sources, lists and cache in a
# directory of their own, so that the system's apt state stays as it is.
# Used for what the system's sources do not offer: another suite's packages
# (Debian 11's meson) and source packages (the wraps' release tarballs).

# The configured Debian archive: the first URI of the system's sources that
# is not the security archive.
apt_mirror() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '$1 == "URIs:" { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' "$f")
    [ -n "$uri" ] && { echo "$uri"; return 0; }
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    # deb [options] URI suite component...
    uri=$(awk '$1 == "deb" { line = $0; gsub(/\[[^]]*\]/, "", line); split(line, w)
                             if (w[2] !~ /security/) { print w[2]; exit } }' "$f")
    [ -n "$uri" ] && { echo "$uri"; return 0; }
  done
  echo "apt-private: this machine's apt has no Debian archive configured" >&2
  return 1
}

# apt_private_init DIR TYPE SUITE: DIR gets TYPE (deb or deb-src) sources
# for SUITE's main component from the configured archive, and lists of its
# own, updated.
apt_private_init() {
  local dir=$1 type=$2 suite=$3 mirror
  mirror=$(apt_mirror) || return 1
  mkdir -p "$dir/parts" "$dir/lists/partial" "$dir/cache/archives/partial"
  printf 'Types: %s\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
    "$type" "$mirror" "$suite" /usr/share/keyrings/debian-archive-keyring.gpg \
    > "$dir/parts/private.sources"
  apt_private "$dir" -qq update
}

# apt_private DIR ARGS...: apt-get ARGS with DIR's sources and lists. Files
# are fetched as root, since the unprivileged _apt user may not write into
# the directory they go to.
apt_private() {
  local dir=$1
  shift
  apt-get -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$dir/parts" \
    -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" \
    -o APT::Sandbox::User=root "$@"
}
