# bash completion for solkari-run: its own options up to the first word that is not one, then
# whatever completes the command it runs.
_solkari_run() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()

    # Where the command starts: after "--", or at the first word that is not an option.
    local i=1 ended=
    while ((i < COMP_CWORD)); do
        case ${COMP_WORDS[i]} in
        --) ((i++)); ended=1; break ;;
        --startup-ms | --grace-ms | --confirm-ms | --buffer-kb | --owner) ((i += 2)) ;;
        -*) ((i++)) ;;
        *) break ;;
        esac
    done
    if ((i < COMP_CWORD)); then
        # Inside the command: complete it as if it had been typed alone.
        if declare -F _command_offset >/dev/null; then
            _command_offset "$i"
        else
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        fi
        return
    fi
    if ((i > COMP_CWORD)); then
        # The word is an option's value.
        case $prev in
        --owner) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
        esac
        return
    fi
    if [[ $cur == -* && -z $ended ]]; then
        mapfile -t COMPREPLY < <(compgen -W '--startup-ms --grace-ms --confirm-ms --buffer-kb --owner
            --events --quiet --help --version --' -- "$cur")
    else
        mapfile -t COMPREPLY < <(compgen -c -- "$cur")
    fi
}
complete -F _solkari_run solkari-run
