# Helpers shared by the test stages. Source it; needs ROOT.

# Installs a Debian package when the file it provides is missing.
ensure_debian_package() {
  local probe=$1
  shift
  [ -e "$probe" ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "[dev] installing $* from Debian's packages" >&2
  if [ ! -f /tmp/.kedo-apt-updated ]; then
    $sudo apt-get update -qq && touch /tmp/.kedo-apt-updated
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}
