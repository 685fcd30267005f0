# Shared by scripts/native-deps and scripts/windows-deps (sourced, not run):
# package installation and the Debian source packages of PCRE and LZ4.
# Expects log() to be defined by the caller.

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the named packages that are not installed yet (one apt-get update).
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

debian_uri() {
  local f uri=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i ~ /debian\/?$/) { print $i; exit } }' "$f")
    [ -n "$uri" ] && break
  done
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^https?:.*debian\/?$/) { print $i; exit } }' \
      /etc/apt/sources.list)
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

# fetch_sources SRC: the pcre3 (8.39) and lz4 source packages unpacked in SRC,
# through apt-get source with a private configuration whose only list is the
# deb-src twin of the system's Debian entry (the system's sources and
# package lists are never changed). Already unpacked sources are re-used.
fetch_sources() {
  local SRC=$1
  mkdir -p "$SRC"
  if ls -d "$SRC"/pcre3-8.39 >/dev/null 2>&1 && ls -d "$SRC"/lz4-*/lib >/dev/null 2>&1; then
    return 0
  fi
  ensure_packages dpkg-dev ca-certificates
  local apt="$SRC/apt" suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_uri) $suite main" \
    >"$apt/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache=" -o "APT::Sandbox::User=root")
  log "fetching the pcre3 and lz4 source packages ($(debian_uri) $suite)"
  apt-get "${opts[@]}" -q update >&2
  (cd "$SRC" && apt-get "${opts[@]}" -q source pcre3 lz4 >&2)
  rm -rf "$apt"
  [ -d "$SRC/pcre3-8.39" ] || { log "pcre3 source is not version 8.39"; exit 1; }
  # Debian's patches touch configure.ac/Makefile.am; make would then rerun an
  # automake this machine does not have. Mark the generated files as newer.
  (cd "$SRC/pcre3-8.39" && touch aclocal.m4 && sleep 1 && touch configure config.h.in Makefile.in)
}

# The configure options of every PCRE build: 8- and 16-bit, UTF, Unicode
# properties, JIT, match frames on the heap instead of C-stack recursion,
# static library only.
PCRE_CONFIGURE_OPTIONS=(--enable-pcre16 --enable-utf --enable-unicode-properties --enable-jit
  --disable-stack-for-recursion --disable-shared --enable-static --disable-cpp
  --disable-pcregrep-libz --disable-pcregrep-libbz2 --disable-pcretest-libreadline)
