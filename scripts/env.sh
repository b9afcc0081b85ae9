# Shared settings for the scripts that run the Windows program under Wine. Source it.
export KL_STATE="${KL_STATE:-$HOME/.cache/kestrelink}"
export WINEPREFIX="${WINEPREFIX:-$KL_STATE/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers: the program needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
