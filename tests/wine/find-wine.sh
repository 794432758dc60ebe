# Sourced by the Wine scripts: sets $wine and $wineserver to the 64-bit Wine
# binaries, or leaves either empty when Wine is not installed.
wine=
for candidate in /usr/lib/wine/wine64 "$(command -v wine64)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        wine=$candidate
        break
    fi
done
wineserver=
for candidate in "$(command -v wineserver)" /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
        wineserver=$candidate
        break
    fi
done
