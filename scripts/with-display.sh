# Starts a private Xvfb display and one persistent wineserver for this shell; both are
# stopped when the shell exits. Source it after env.sh.
# kl_new_display WxHxD: a new Xvfb on a display number the server picks itself (so runs
# started side by side never race for one); sets kl_new_display_name and kl_new_display_pid.
kl_new_display() {
  local fifo
  fifo=$(mktemp -u /tmp/kl-displayfd.XXXXXX)
  mkfifo "$fifo"
  Xvfb -displayfd 7 -screen 0 "$1" -nolisten tcp 7>"$fifo" >/dev/null 2>&1 &
  kl_new_display_pid=$!
  local n=""
  read -r -t 20 n <"$fifo" || true
  rm -f "$fifo"
  kl_new_display_name=":$n"
}

kl_start_display() {
  kl_new_display "${KL_SCREEN:-1280x800x24}"
  KL_XVFB_PID=$kl_new_display_pid
  export DISPLAY=$kl_new_display_name
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
