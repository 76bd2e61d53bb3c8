# bash completion for vokra: options, and files or directories for their arguments.
#
# Options that come after -u are read in archive mode, where the build options
# are silently skipped, so after -u only the options that still act are offered.

_vokra()
{
    local cur prev i utility=0
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_CWORD:+${COMP_WORDS[COMP_CWORD - 1]}}

    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        -u | -[hcvxnla]*u*) utility=1 ;;
        esac
    done

    local IFS=$'\n'
    case $prev in
    -p)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    -V | -t | --target)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        return
        ;;
    -C | -r | -f | -S | -O | -F)
        # Free text: a comment, a shell command, a name or a feature item.
        COMPREPLY=()
        return
        ;;
    esac

    if [[ $cur == -* ]]; then
        # compgen expands its word list, and -? would match file names.
        local - opts
        set -f
        if ((utility)); then
            opts=(-h '-?' -c -l -n -t -v -x --help --version --keep --quiet --target)
        else
            opts=(-h '-?' -u -c -v -x -n -l -a -p -C -r -f -V -S -t -O -F --help --version --keep --quiet --target)
        fi
        COMPREPLY=($(compgen -W "${opts[*]}" -- "$cur"))
        return
    fi

    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}

complete -F _vokra vokra
