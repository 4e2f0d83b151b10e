# SPDX-License-Identifier: MIT
# bash completion for vantrel-cli: commands, their options, and the values
# that have a fixed set (on/off, FPGA configurations, interfaces, files).
_vantrel_cli()
{
    local cur prev command i
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
    --timeout | -t | --retries | --expect | --ip | --port | --mask | --gateway | --alt-ip | \
        --alt-port | --verify-timeout | --to | --interval | --missed | --count | --settle)
        return ;;
    esac

    local search="--timeout --interface --retries --directed-only --also-limited --to --log --pcap --help"
    case $command in
    "") COMPREPLY=($(compgen -W "find show set watch apply doctor help --help --version -h -V" -- "$cur")) ;;
    help) COMPREPLY=($(compgen -W "find show set watch apply doctor" -- "$cur")) ;;
    find) COMPREPLY=($(compgen -W "$search --json --csv --expect --model --settle" -- "$cur")) ;;
    show) COMPREPLY=($(compgen -W "$search --json --settle" -- "$cur")) ;;
    doctor) COMPREPLY=($(compgen -W "$search --json --settle" -- "$cur")) ;;
    set)
        COMPREPLY=($(compgen -W "$search --ip --port --mask --gateway --dhcp --alt-udp --alt-ip
                     --alt-port --fpga --force --dry-run --json --verify-timeout" -- "$cur")) ;;
    watch)
        COMPREPLY=($(compgen -W "$search --json --model --settle --interval --missed --count" -- "$cur")) ;;
    apply)
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$search --dry-run --force --verify-timeout --json" -- "$cur"))
        else
            COMPREPLY=($(compgen -f -- "$cur"))
        fi ;;
    esac
}
complete -F _vantrel_cli vantrel-cli
