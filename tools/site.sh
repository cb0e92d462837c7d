#!/usr/bin/env bash
# Builds the documentation site (reference pages, the vignette with its plots, the
# NEWS) into build/site with pkgdown, without a network, and checks it in headless
# Chromium: the home page, one reference page and the vignette load without a
# console message, every image and local script or style sheet they use exists, and a
# screenshot of each goes to demo-output/site/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
[ -e .Rlib/lumo/DESCRIPTION ] || bash tools/install.sh
site=build/site
rm -rf "$site"
R_LIBS="$top/.Rlib" Rscript -e '
  options(pkgdown.internet = FALSE)
  pkgdown::build_site(".", override = list(destination = "build/site"), install = FALSE,
                      new_process = FALSE, preview = FALSE, devel = FALSE)' >build/site.log 2>&1 ||
  { cat build/site.log; exit 1; }

# The CDN scripts and styles become the copies in tools/site-assets; MathJax and
# the scripts for old Internet Explorer go (no page has maths).
cp -r tools/site-assets "$site/assets"
rm -f "$site/assets/README.md"
find "$site" -name '*.html' | while read -r page; do
  rel=${page#"$site"/}
  depth=$(($(tr -cd / <<<"$rel" | wc -c)))
  up=$(printf '../%.0s' $(seq 1 "$depth"))
  [ "$depth" -eq 0 ] && up=
  sed -E -i \
    -e 's# integrity="[^"]*"##g; s# crossorigin="anonymous"##g' \
    -e 's#<script src="[^"]*mathjax[^"]*"></script>##g' \
    -e "s#https://cdnjs.cloudflare.com/ajax/libs/font-awesome/5.12.1/css/#${up}assets/fontawesome/css/#g" \
    -e "s#https://cdn.jsdelivr.net/gh/afeld/bootstrap-toc@v1.0.1/dist/bootstrap-toc.min.js#${up}assets/js/toc.js#g" \
    -e "s#https://cdnjs.cloudflare.com/ajax/libs/(headroom/0.11.0|clipboard.js/2.0.6|fuse.js/6.4.6|autocomplete.js/0.38.0|mark.js/8.11.1)/#${up}assets/js/#g" \
    "$page"
  # Old Internet Explorer's conditional scripts, which no current browser reads.
  perl -0 -i -pe 's/<!--\[if lt IE 9\]>.*?<!\[endif\]-->//gs' "$page"
done

mkdir -p demo-output/site
status=0
for page in index.html reference/odp_test.html articles/lumo.html; do
  file="$top/$site/$page"
  name=$(basename "$page" .html)
  # Everything the page loads must be in the site.
  dir=$(dirname "$file")
  for ref in $(grep -oE '<(img|script)[^>]* src="[^"]*"|<link[^>]* href="[^"]*"' "$file" | grep -oE '(src|href)="[^"]*"' |
               sed -E 's/^(src|href)="//; s/"$//'); do
    case "$ref" in
      http://*|https://*|//*) echo "site check: $page loads $ref from the network"; status=1 ;;
      data:*) ;;
      *) [ -e "$dir/${ref%%[?#]*}" ] || { echo "site check: $page misses $ref"; status=1; } ;;
    esac
  done
  log="$top/build/site-$name.log"
  timeout 120 chromium --headless --no-sandbox --disable-gpu --enable-logging=stderr --v=0 --log-level=0 \
    --window-size=1280,1800 --screenshot="$top/demo-output/site/$name.png" "file://$file" >/dev/null 2>"$log" || true
  if grep -q 'CONSOLE' "$log"; then
    echo "site check: console messages on $page:"; grep -A3 'CONSOLE' "$log"; status=1
  fi
  [ -s "demo-output/site/$name.png" ] || { echo "site check: no screenshot of $page"; status=1; }
done
[ "$status" -eq 0 ] && echo "site built in $site; screenshots in demo-output/site/"
exit "$status"
