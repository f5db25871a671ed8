# shellcheck shell=bash
# bash completion for kestrune: commands, options, drive letters for --drive,
# folders and files for the options that take them.
#
# Needs nothing but bash itself; the bash-completion package loads it from
# /usr/share/bash-completion/completions/kestrune when kestrune is first
# completed, or source it from ~/.bashrc.

# The letters of the disks `kestrune list` sees (C D ...), else C to Z. The
# list reads sysfs only and opens no device, so it is safe on every Tab.
_kestrune_letters() {
  local program=$1 letters
  letters=$("$program" list 2>/dev/null </dev/null |
    awk 'NR > 1 && $1 ~ /^[B-Z]:$/ { printf "%s ", substr($1, 1, 1) }')
  if [[ -z $letters ]]; then
    letters="C D E F G H I J K L M N O P Q R S T U V W X Y Z"
  fi
  printf '%s\n' "$letters"
}

# compopt works only while a completion runs; elsewhere (a test calling
# _kestrune) it fails, which must not end the caller.
_kestrune_compopt() {
  compopt "$@" 2>/dev/null || true
}

_kestrune() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]:-}
  local program=${COMP_WORDS[0]}
  local commands="scan fix destroy backup restore backups list export-drive map watch images"
  # The commands --all goes with.
  local all_commands="scan fix destroy backup restore map"
  local options="--help --drive --simulate --select --yes --c-drive --temp --images --trace
    --record --record-overwrite --verbose --json --quiet --all --from --donor --save --version
    --include-present --map"
  COMPREPLY=()

  # With '=' among the word breaks (bash's default), "--drive E=/dev/sd"
  # reaches us as the words --drive, E, =, /dev/sd.
  if [[ $prev == "=" ]] && ((COMP_CWORD >= 3)) &&
    [[ ${COMP_WORDS[COMP_CWORD - 3]} == --drive ]]; then
    _kestrune_compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    return 0
  fi
  if [[ $cur == "=" && ${COMP_WORDS[COMP_CWORD - 2]:-} == --drive ]]; then
    _kestrune_compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -f -- "")
    return 0
  fi

  case $prev in
    --drive)
      # Without '=' among the word breaks the path comes in this word.
      if [[ $cur == [A-Za-z]=* ]]; then
        _kestrune_compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -f -P "${cur:0:2}" -- "${cur:2}")
        return 0
      fi
      local letter
      for letter in $(_kestrune_letters "$program"); do
        [[ $letter == "${cur^^}"* ]] && COMPREPLY+=("$letter=")
      done
      _kestrune_compopt -o nospace
      return 0
      ;;
    --c-drive | --temp | --images | images)
      _kestrune_compopt -o filenames
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return 0
      ;;
    --trace | --from | --record | export-drive)
      _kestrune_compopt -o filenames
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0
      ;;
    --select | --save)
      return 0
      ;;
  esac

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return 0
  fi

  # One command per run: once one is given, only options follow; watch
  # takes the command it runs on each drive, and after --all only the
  # commands it goes with are offered.
  local word i offered=$commands
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    [[ $word == --all ]] && offered=$all_commands
    if [[ $word == watch && $i -eq $((COMP_CWORD - 1)) ]]; then
      mapfile -t COMPREPLY < <(compgen -W "scan fix backup" -- "$cur")
      return 0
    fi
    if [[ " $commands " == *" $word "* ]]; then
      return 0
    fi
  done
  mapfile -t COMPREPLY < <(compgen -W "$offered" -- "$cur")
  return 0
}

complete -F _kestrune kestrune
