# SPDX-License-Identifier: MIT
# bash completion for vantrel-cli. The commands, their options and the values
# with a fixed set (on/off, FPGA configurations, models, fields) are asked of
# the program ('vantrel-cli --completion [COMMAND]'), so they are always its
# own; files and interfaces come from the system. An option the words typed
# already exclude is not offered: one given already (but those that repeat),
# and what --json rules out.
_vantrel_cli()
{
    local cur prev command i w typed line name short value repeat choices commands
    local out=() words=()
    local -A takes offer repeats
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    commands=$("${COMP_WORDS[0]}" --completion 2>/dev/null) || return
    for ((i = 1; i < COMP_CWORD; i++)); do
        [[ $'\n'$commands$'\n' == *$'\n'${COMP_WORDS[i]}$'\n'* ]] && { command=${COMP_WORDS[i]}; break; }
    done
    case $command in
    "") COMPREPLY=($(compgen -W "$commands --help --version -h -V" -- "$cur")); return ;;
    help) COMPREPLY=($(compgen -W "${commands/help/}" -- "$cur")); return ;;
    esac

    while IFS=$'\x1f' read -r name short value repeat choices; do
        words+=("$name")
        for w in $name $short; do
            takes[$w]=$value
            offer[$w]=$choices
        done
        [ -n "$repeat" ] && repeats[$name]=1
    done < <("${COMP_WORDS[0]}" --completion "$command" 2>/dev/null)

    if [ -n "${takes[$prev]}" ]; then
        case ${takes[$prev]} in
        FILE) COMPREPLY=($(compgen -f -- "$cur")) ;;
        *,...) # a list: complete the word after the last comma
            compopt -o nospace 2>/dev/null
            COMPREPLY=($(compgen -P "${cur%"${cur##*,}"}" -W "${offer[$prev]}" -- "${cur##*,}")) ;;
        *)
            if [ -n "${offer[$prev]}" ]; then
                COMPREPLY=($(compgen -W "${offer[$prev]}" -- "$cur"))
            elif [ "${takes[$prev]}" = NAME ] && [[ $prev == --interface || $prev == -i ]]; then
                COMPREPLY=($(compgen -W "$(ls /sys/class/net 2>/dev/null)" -- "$cur"))
            fi ;;
        esac
        return
    fi
    if [ "$command" = apply ] && [[ $cur != -* ]]; then
        COMPREPLY=($(compgen -f -- "$cur")); return
    fi

    typed=" ${COMP_WORDS[*]:1:COMP_CWORD-1} "
    typed=${typed// -j / --json }
    for w in "${words[@]}"; do
        [ -z "${repeats[$w]}" ] && [[ $typed == *" $w "* ]] && continue
        case $w in
        --csv | --fields | --no-header) [[ $typed == *" --json "* ]] && continue ;;
        --json) [[ $typed == *" --csv "* || $typed == *" --fields "* || $typed == *" -o "* ||
            $typed == *" --no-header "* ]] && continue ;;
        esac
        out+=("$w")
    done
    COMPREPLY=($(compgen -W "${out[*]}" -- "$cur"))
}
complete -F _vantrel_cli vantrel-cli
