#!/usr/bin/env bash
# Refuses an include across a forbidden edge between the folders of src/:
#   http includes base and http only;
#   a feature folder (and its backends) includes no http, api, service or app;
#   a backend (feature/backend) is included only by its own feature's backends and by the
#   service, which builds it (the app role's own backends also by app/TovoApp.cpp, which
#   builds the app); likewise the shared X and Wayland connections (x11/, wayland/);
#   nothing includes app but the entry (src/main.cpp);
#   portable code includes no X11, Wayland, PulseAudio, AT-SPI, GTK, OpenSSL, Avahi or D-Bus header;
#   and a folder includes only the folders the table below allows it (its own always).
# Prints every offending include and exits 1 when there is one. The libraries' include
# scopes (CMakeLists.txt) enforce the same arrows at compile time.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root/src"
features="x11 wayland session display image capture video input desktop audio clipboard cursor overlay remote"
platform='(<(X11/|wayland-|xkbcommon/|pulse/|atspi/|gtk/|gdk/|openssl/|avahi-|dbus/|libavcodec/|libavutil/|libswscale/|libayatana|qrencode)|"[^"]*-client-protocol\.h")'
# The allowed arrows: folder → the folders it may include.
declare -A allowed=(
  [base]=""
  [http]="base"
  [x11]="base"
  [wayland]="base"
  [session]="base x11 wayland"
  [display]="base x11 wayland"
  [image]="base"
  [capture]="base display image x11 wayland"
  [cursor]="base image x11"
  [video]="base capture cursor display image"
  [input]="base display x11 wayland"
  [desktop]="base capture display x11 wayland"
  [overlay]="base display input x11 wayland"
  [audio]="base capture"
  [clipboard]="base image x11 wayland"
  [remote]="base"
  [web]="base"
  [api]="base http session display image capture cursor video input desktop overlay audio clipboard remote web"
  [service]="base http x11 wayland session display image capture cursor video input desktop overlay audio clipboard remote api"
  [app]="base http x11"
  [mcp]="base http"
)
bad=0
refuse() { echo "layering: $1: $2"; bad=1; }

while IFS= read -r file; do
  folder=${file%/*}
  top=${folder%%/*}
  backend=""
  [[ "$folder" == */* ]] && backend=${folder#*/}
  while IFS= read -r line; do
    include=$(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' <<<"$line")
    if [[ -n "$include" && "$include" == */* ]]; then
      target=${include%/*}
      ttop=${target%%/*}
      tbackend=""
      [[ "$target" == */* ]] && tbackend=${target#*/}
      if [[ "$top" == http && "$ttop" != base && "$ttop" != http ]]; then refuse "$file" "$include (http depends on base only)"; fi
      if [[ " $features " == *" $top "* && "$ttop" =~ ^(http|api|service|app)$ ]]; then
        refuse "$file" "$include (a feature does not speak HTTP or reach the service)"
      fi
      if [[ (-n "$tbackend" || "$ttop" == x11 || "$ttop" == wayland) && "$top" != service && "$top" != x11 && "$top" != wayland ]] &&
         ! [[ -n "$backend" && ("$ttop" == "$top" || "$ttop" == x11 || "$ttop" == wayland) ]] &&
         ! [[ "$file" == app/TovoApp.cpp && "$ttop" == app ]]; then
        refuse "$file" "$include (a backend is reached through its interface; the service builds it)"
      fi
      if [[ "$ttop" == app && "$top" != app && "$file" != main.cpp ]]; then refuse "$file" "$include (nothing depends on app)"; fi
      if [[ "$folder" != "$file" && "$ttop" != "$top" ]]; then
        if [[ -z "${allowed[$top]+set}" ]]; then
          refuse "$file" "$include (folder $top is not in the table of arrows)"
        elif [[ " ${allowed[$top]} " != *" $ttop "* ]]; then
          refuse "$file" "$include ($top may not include $ttop)"
        fi
      fi
    fi
    if [[ -z "$backend" && "$top" != x11 && "$top" != wayland && "$file" != app/TovoApp.cpp && "$top" != service ]] && grep -qE "^[[:space:]]*#[[:space:]]*include[[:space:]]*$platform" <<<"$line"; then
      refuse "$file" "$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*//' <<<"$line") (platform header in portable code)"
    fi
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$file")
done < <(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort)

if [[ $bad -eq 0 ]]; then echo "layering: every include follows the allowed edges"; fi
exit $bad
