#!/usr/bin/env bash
# The Windows checks, stage 3: starts of the zip's panel with COM1 stored (as
# the port dialog stage leaves it), several in a row: the panel shows at
# once, in its colours, exchanges a command, and "END" ends it.
#
#   scripts/windows-test/starts.sh [WINDOWS_BUILD [LINUX_BUILD]]   (build-win, build)
#
# Part of scripts/windows-test.sh, which sources it; run on its own it ends
# with "N passed, N failed" as well.
# Environment: KAVO_WINE_STARTS (how many starts, default 3),
# KAVO_WINE_SCREENSHOT (write the panel as Wine shows it to this PNG).
set -euo pipefail
# shellcheck source=wine-env.sh
[ -n "${wine_env_caller:-}" ] || source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" "$@"

starts=${KAVO_WINE_STARTS:-3}
unpack_zip
com1_simulator

# Counts the pixels of a PNG for which an ImageMagick fx expression holds.
pixels_where() {
  convert "$1" -alpha off -fx "$2" -format '%[fx:round(mean*w*h)]' info:
}

# The panel's colours by family, as the style shades them: green ON buttons,
# red OFF buttons, teal for most of the others. A style that ignores the
# buttons' colours leaves only a little red in a few captions.
check_colours() {
  local shot=$1 green red teal
  green=$(pixels_where "$shot" '(g-max(r,b))>0.15')
  red=$(pixels_where "$shot" '(r-max(g,b))>0.15')
  teal=$(pixels_where "$shot" 'min(g,b)-r>0.3')
  [ "$green" -ge 1000 ] && [ "$red" -ge 1000 ] && [ "$teal" -ge 10000 ] ||
    { echo "green $green, red $red, teal $teal pixels"; return 1; }
}

for run in $(seq "$starts"); do
  note "start $run of $starts with COM1 stored"
  start_app "$work/start-$run.log"
  if ! wait_for 30 shown "$panel_title"; then
    fail "start $run: panel shown" "see $work/start-$run.log"
    stop_app
    continue
  fi
  pass "start $run: panel shown"
  panel=$(window_of "$panel_title")
  sleep 1 # first paint
  shot=$work/panel-$run.png
  import -window "$panel" "$shot"
  if why=$(check_colours "$shot"); then
    pass "start $run: panel in its colours"
  else
    fail "start $run: panel in its colours" "$why, see $shot"
  fi
  before=$(exchanges)
  click_button "$panel" 17 # POWER ON
  if wait_for 10 more_exchanges_than "$before"; then
    pass "start $run: C00 exchanged through COM1"
  else
    fail "start $run: C00 exchanged through COM1"
  fi
  if [ "$run" = 1 ] && [ -n "${KAVO_WINE_SCREENSHOT:-}" ]; then
    # The extended panel with the exchange on its trace lines.
    xdotool key --window "$panel" --clearmodifiers ctrl+h
    sleep 0.5
    click_button "$panel" 17
    sleep 0.3
    import -window "$panel" "$KAVO_WINE_SCREENSHOT"
    note "wrote $KAVO_WINE_SCREENSHOT"
  fi
  end_app "$panel" && pass "start $run: END ends the program" ||
    fail "start $run: END ends the program"
done

finish_stage
