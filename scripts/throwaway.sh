# The command frame shared by the scripts of throwaway database servers (pgtest.sh,
# mariadbtest.sh). Sourced by them after they define cmd_start, cmd_stop DIR and cmd_clean.
# throwaway_main NAME OWNER_VAR DIR_VAR [start|stop DIR|run CMD...|clean]
#   NAME       the script's name, for its usage message
#   OWNER_VAR  the variable through which `start` learns the process that owns the server
#   DIR_VAR    the variable of the exported environment that names the server's directory

throwaway_run() {
  local name=$1 owner_var=$2 dir_var=$3
  shift 3
  [ $# -ge 1 ] || die "usage: $name run CMD [ARG...]"
  local env rc=0
  env=$(export "$owner_var=$$" && cmd_start) || exit 1
  eval "$env"
  trap "cmd_stop \"\${$dir_var}\"" EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  "$@" || rc=$?
  exit "$rc"
}

throwaway_main() {
  local name=$1 owner_var=$2 dir_var=$3
  shift 3
  case "${1:-}" in
    start) cmd_start ;;
    stop) shift && cmd_stop "$@" ;;
    run) shift && throwaway_run "$name" "$owner_var" "$dir_var" "$@" ;;
    clean) cmd_clean ;;
    *)
      sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0" >&2
      exit 2
      ;;
  esac
}
