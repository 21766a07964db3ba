# bash completion for nocta-cli
#
# The commands, the options and the values an option takes are read from
# `nocta-cli --help`, so the completion follows the program:
# - an option line "  -o, --output FILE   ..." gives -o and --output, which
#   take a file; DIR takes a directory, MOVIE a movie file, "a|b|c" one of
#   those words, any other value name nothing to complete;
# - a command line "  decode MOVIE   ..." under "Commands:" gives decode,
#   whose arguments are movie files (other value names: any file).

_nocta_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    local help
    help=$(LC_ALL=C "$1" --help 2>/dev/null) || return
    local movies='@(mp4|m4v|mkv|mov|avi|webm|mpg|mpeg|ts|mts|m2ts|wmv|flv|3gp|ogv|vob|dv)'

    local line tag part name value section=
    local -a options=() commands=() parts=()
    local -A takes=() arguments=()
    while IFS= read -r line; do
        if [[ $line =~ ^[A-Z][A-Za-z\ ]*:$ ]]; then
            section=${line%:}
        elif [[ $line =~ ^\ {1,10}-[^\ ] ]]; then
            # "  -o, --output FILE   text": the names, and the value they take.
            tag=${line#"${line%%[! ]*}"}
            tag=${tag%%  *}
            IFS=, read -ra parts <<<"$tag"
            value=${parts[-1]# }
            [[ $value == *' '* ]] && value=${value#* } && value=${value%% *} || value=
            for part in "${parts[@]}"; do
                name=${part# }
                name=${name%% *}
                options+=("$name")
                takes[$name]=$value
            done
        elif [[ $section == Commands && $line =~ ^\ \ [a-z] ]]; then
            # "  decode MOVIE   text": the command, and what its arguments are.
            tag=${line#  }
            tag=${tag%%  *}
            name=${tag%% *}
            value=${tag#"$name"}
            [[ -v arguments[$name] ]] || { commands+=("$name"); arguments[$name]=; }
            if [[ $value == *MOVIE* ]]; then
                arguments[$name]=movie
            elif [[ $value =~ [A-Z] && ${arguments[$name]} != movie ]]; then
                arguments[$name]=file
            fi
        fi
    done <<<"$help"

    # The value of an option.
    if [[ -v takes[$prev] && -n ${takes[$prev]} ]]; then
        value=${takes[$prev]}
        case $value in
            *'|'*) COMPREPLY=($(compgen -W "${value//|/ }" -- "$cur")) ;;
            DIR) _filedir -d ;;
            MOVIE) _filedir "$movies" ;;
            FILE | *FILE*) _filedir ;;
        esac
        return
    fi
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "${options[*]}" -- "$cur"))
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
        return
    fi

    # The command: the first word that is neither an option nor its value.
    local i command=
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} == -* ]]; then
            [[ ${words[i]} != *=* && -n ${takes[${words[i]}]-} ]] && ((i++))
        else
            command=${words[i]}
            break
        fi
    done

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "${commands[*]}" -- "$cur"))
    elif [[ ${arguments[$command]-} == movie ]]; then
        _filedir "$movies"
    elif [[ ${arguments[$command]-} == file ]]; then
        _filedir
    fi
} &&
    complete -F _nocta_cli nocta-cli
