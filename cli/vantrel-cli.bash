# SPDX-License-Identifier: MIT
# bash completion for vantrel-cli: commands, their options, and the values
# that have a fixed set (on/off, FPGA configurations, interfaces, fields,
# files). An option the words typed already exclude is not offered: one given
# already (but --to and --model, which repeat), and what --json rules out.
_vantrel_cli()
{
    local cur prev command i w words typed out=()
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        find | show | set | watch | apply | doctor | help) command=${COMP_WORDS[i]}; break ;;
        esac
    done

    case $prev in
    --dhcp | --alt-udp) COMPREPLY=($(compgen -W "on off" -- "$cur")); return ;;
    --fpga) COMPREPLY=($(compgen -W "0 1 2" -- "$cur")); return ;;
    --interface | -i)
        COMPREPLY=($(compgen -W "$(ls /sys/class/net 2>/dev/null)" -- "$cur")); return ;;
    --log | --pcap) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --model) COMPREPLY=($(compgen -W "Pentra Marlo Halvex-R" -- "$cur")); return ;;
    --fields | -o)
        local fields="model serial ip port mac firmware inUse configurable conflict
            duplicateSerial reachable routed interface source mask gateway dhcp altUdp altIp
            altPort fpga"
        compopt -o nospace 2>/dev/null
        COMPREPLY=($(compgen -P "${cur%"${cur##*,}"}" -W "$fields" -- "${cur##*,}")); return ;;
    --timeout | -t | --retries | --expect | --ip | --port | --mask | --gateway | --alt-ip | \
        --alt-port | --verify-timeout | --to | --interval | --missed | --count | --settle)
        return ;;
    esac

    local search="--timeout --interface --retries --directed-only --also-limited --to --log
        --pcap --verbose --help"
    case $command in
    "") COMPREPLY=($(compgen -W "find show set watch apply doctor help --help --version -h -V" -- "$cur")); return ;;
    help) COMPREPLY=($(compgen -W "find show set watch apply doctor" -- "$cur")); return ;;
    find) words="$search --json --csv --expect --model --settle --fields --no-header" ;;
    show | doctor) words="$search --json --settle" ;;
    set)
        words="$search --ip --port --mask --gateway --dhcp --alt-udp --alt-ip --alt-port --fpga
            --force --dry-run --json --verify-timeout" ;;
    watch) words="$search --json --model --settle --interval --missed --count" ;;
    apply)
        if [[ $cur != -* ]]; then
            COMPREPLY=($(compgen -f -- "$cur")); return
        fi
        words="$search --dry-run --force --verify-timeout --json" ;;
    esac
    typed=" ${COMP_WORDS[*]:1:COMP_CWORD-1} "
    typed=${typed// -j / --json }
    for w in $words; do
        case $w in
        --to | --model) ;;
        *) [[ $typed == *" $w "* ]] && continue ;;
        esac
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
