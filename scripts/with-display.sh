# Starts a private Xvfb display and one persistent wineserver for this shell; both are
# stopped when the shell exits. Source it after env.sh.
kl_start_display() {
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || break
  done
  Xvfb ":$n" -screen 0 "${KL_SCREEN:-1280x800x24}" -nolisten tcp >/dev/null 2>&1 &
  KL_XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 1 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    sleep 0.1
  done
  wineserver -p 2>/dev/null || true  # a server left running for this prefix serves as well
  # Start Wine's own services now, outside any test runner: they live as long as the
  # server, and a runner that spawned them would wait on their inherited output pipes.
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
  trap kl_stop_display EXIT
}

kl_stop_display() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "${KL_XVFB_PID:-}" ] && kill "$KL_XVFB_PID" >/dev/null 2>&1 || true
}
