# bash completion for qmv2avi-cli. Options come from the program's own --help and encoder names from
# convert --list-encoders, so the completion offers what the installed program accepts.

_qmv2avi_cli_encoders() {
  "$1" convert --list-encoders 2>/dev/null | while read -r name _; do printf '%s\n' "$name"; done
}

_qmv2avi_cli() {
  local cur prev words cword split
  _init_completion -s || return

  local program=${words[0]} command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      info | convert | verify | snapshot | mosaic) command=${words[i]}; break ;;
    esac
  done
  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W 'info convert verify snapshot mosaic --help --version' -- "$cur"))
    return
  fi

  case $prev in
    -o | --output)
      if [[ $command == mosaic ]]; then _filedir mp4; else _filedir -d; fi
      return ;;
    --reencode) COMPREPLY=($(compgen -W "$(_qmv2avi_cli_encoders "$program")" -- "$cur")); return ;;
    --codec) COMPREPLY=($(compgen -W 'xvid divx' -- "$cur")); return ;;
    --format) COMPREPLY=($(compgen -W 'avi mkv mp4' -- "$cur")); return ;;
    --progress) COMPREPLY=($(compgen -W 'bar json' -- "$cur")); return ;;
    --report) _filedir; return ;;
    --channels | --quality | --bitrate | --keyint | --jobs) return ;;
  esac
  $split && return

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(_parse_help "$program" "$command --help")" -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi
  case $command in
    verify) _filedir json ;;
    *) _filedir '@(qmv|exe)' ;;  # folders are offered too: a folder's recordings are converted
  esac
}
complete -F _qmv2avi_cli qmv2avi-cli
