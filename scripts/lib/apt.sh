# Sourced by the scripts: installs Debian packages that are missing.
#   install_missing PACKAGE...
# Installs nothing twice; as root with apt-get, otherwise with sudo; without
# either it names the packages and fails.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  local apt_get
  if [ "$(id -u)" -eq 0 ]; then
    apt_get=(apt-get)
  elif command -v sudo >/dev/null 2>&1; then
    apt_get=(sudo apt-get)
  else
    echo "These Debian packages are missing: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
    return 1
  fi
  DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
