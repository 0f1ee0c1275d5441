# bash completion for mdbrepair and mdbrepair-gui
_mdbrepair() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --password) COMPREPLY=(-); return ;;
        -j|--jobs|--rows) return ;;
        -o|--output|--report)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--password --zolvak-db -o --output --replace --tables-only -j --jobs
            -q --quiet --verbose --list --json --sample --rows --check --report -h --help --version" -- "$cur"))
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -X '!*.@(mdb|MDB)' -- "$cur") $(compgen -d -- "$cur"))
}
complete -F _mdbrepair mdbrepair

_mdbrepair_gui() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -X '!*.@(mdb|MDB)' -- "$cur") $(compgen -d -- "$cur"))
}
complete -F _mdbrepair_gui mdbrepair-gui
