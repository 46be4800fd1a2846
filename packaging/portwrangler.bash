# Bash completion for portwrangler. It knows the command grammar: the long options
# before the command word, the command words (none after --hold: its entries are in its
# file), "-q" right after -add or -remove, the words after -pinhole, the protocols after
# --protocol, TCP/UDP where a protocol goes (after -pinhole -remove too, with --protocol pcp
# or auto), the search options of -list in their order
# and each at most once, Enabled/Disabled after -s. It runs nothing and looks nothing up: ports,
# addresses, descriptions, leases, URLs and interfaces are the user's.
#
# It runs in the user's shell, under the user's IFS and options: the candidates are kept
# in arrays, never split from a string or expanded as patterns.

_portwrangler() {
  local current=${COMP_WORDS[COMP_CWORD]}
  local typed=("${COMP_WORDS[@]:1:COMP_CWORD-1}")  # the words before the current one
  local candidates=()
  # The long options before the command word, each with its value when it takes one.
  local value=no ended=no option= held=no via=upnp
  while [ ${#typed[@]} -gt 0 ] && [ "${typed[0]:0:2}" = "--" ]; do
    case ${typed[0]} in
      --hold|--hold=*) held=yes; [ "${typed[0]}" = --hold ] && value=yes ;;
      --protocol=*) via=${typed[0]#--protocol=}; value=no ;;
      --lease|--url|--interface|--protocol|--gateway|--on-change|--status-file)
        value=yes option=${typed[0]} ;;
      *) value=no ;;
    esac
    if [ "${typed[0]}" = "--" ]; then value=no ended=yes; typed=("${typed[@]:1}"); break; fi
    typed=("${typed[@]:1}")
    if [ $value = yes ] && [ ${#typed[@]} -gt 0 ]; then
      [ "$option" = "--protocol" ] && via=${typed[0]}
      typed=("${typed[@]:1}")
      value=no
    fi
  done
  local count=${#typed[@]}
  if [ $value = yes ]; then
    if [ "$option" = "--protocol" ]; then
      candidates=(upnp pcp natpmp auto)
    fi  # else a value of the user's
  elif [ "$count" -eq 0 ]; then
    candidates=(-add -remove -list -stats -pinhole -diagnose -help '/?')
    [ $held = yes ] && candidates=()  # a held set's entries are in its file
    if [ "${current:0:2}" = "--" ] && [ $ended = no ]; then
      candidates=(--json --exit-status --lease --keep --url --interface --protocol --gateway
        --any-port --same-port --hold --on-change --status-file --help --version)
    fi
  else
    local command=${typed[0],,}
    case $command in
      -add|-remove)
        local rest=("${typed[@]:1}")
        if [ ${#rest[@]} -gt 0 ] && [ "${rest[0],,}" = "-q" ]; then
          rest=("${rest[@]:1}")
        fi
        if [ ${#rest[@]} -eq 0 ]; then
          candidates=(TCP UDP)
          if [ "$count" -eq 1 ]; then candidates=(-q TCP UDP); fi
        elif [ "$command" = "-add" ] && [ ${#rest[@]} -eq 1 ] && [ "${current:0:1}" = "-" ]; then
          candidates=(-ip)  # only when asked for: a port may go here as well
        fi
        ;;
      -diagnose)
        if [ "$count" -eq 1 ]; then candidates=(TCP UDP); fi
        ;;
      -pinhole)
        if [ "$count" -eq 1 ]; then
          candidates=(-status -add -remove -check)
        elif [ "$count" -eq 2 ] && [ "${typed[1],,}" = "-add" ]; then
          candidates=(TCP UDP)
        elif [ "$count" -eq 2 ] && [ "${typed[1],,}" = "-remove" ] &&
          { [ "$via" = pcp ] || [ "$via" = auto ]; }; then
          candidates=(TCP UDP)  # a PCP pinhole is named by protocol and port
        fi
        ;;
      -list)
        if [ "$count" -eq 1 ]; then
          candidates=(-stats -id -p -ip -iport -eport -s)
        elif [ $((count % 2)) -eq 0 ]; then  # a value goes here
          case ${typed[count - 1],,} in
            -p) candidates=(TCP UDP) ;;
            -s) candidates=(Enabled Disabled) ;;
          esac
        else  # an option: one of those after the last option given, in their order
          case ${typed[1],,} in
            -stats|-id) ;;
            *)
              local options=(-p -ip -iport -eport -s) last=${typed[count - 2],,} i
              for i in "${!options[@]}"; do
                if [ "${options[i]}" = "$last" ]; then candidates=("${options[@]:i+1}"); fi
              done
              ;;
          esac
        fi
        ;;
    esac
  fi
  # A plain prefix comparison: no pattern, so no shell option changes what matches.
  COMPREPLY=()
  local word
  for word in "${candidates[@]}"; do
    if [ "${word:0:${#current}}" = "$current" ]; then COMPREPLY+=("$word"); fi
  done
}

complete -F _portwrangler portwrangler
