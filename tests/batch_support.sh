# Shared by the batch tests (several ssh hosts, a Slurm cluster): movies of several shapes, the
# README's conversion filter, the checks that every stream is a local encode of its movie and that
# a batch names every movie left without one, and the means to kill a host whole. The sourcing
# test sets `tmp`, its temporary directory, and writes what the batch printed to $tmp/out.
# shellcheck shell=bash

# fail MESSAGE...: says what went wrong, shows what the batch printed ($tmp/out), and ends the test.
fail() {
    echo "$(basename "$0" .sh): $*" >&2
    cat "$tmp/out" >&2 2>/dev/null || true
    exit 1
}

# The conversion filter, as the README defines it: the batches run that very definition.
eval "$(sed -n "/^filter='/,/'\$/p" README.md)"
[ -n "${filter:-}" ] || { echo "no filter=... in README.md" >&2 && exit 1; }

# make_movies DIR: short movies of different shapes, and one that cannot be encoded, with a space
# in its name.
make_movies() {
    local dir=$1
    mkdir -p "$dir"
    movie() { # NAME SOURCE SECONDS
        ffmpeg -nostdin -v error -f lavfi -i "$2" -t "$3" -c:v libx264 -pix_fmt yuv420p \
            -y "$dir/$1.mp4"
    }
    movie wide testsrc2=size=640x360:rate=30 1.5
    movie anamorphic 'smptehdbars=size=720x576:rate=25,setsar=64/45' 1
    movie tall 'testsrc=size=240x320:rate=24' 2
    : >"$dir/no stream.mp4"
}

# check_streams PROGRAM DIR MOVIE...: each movie's stream in DIR is, byte for byte, what PROGRAM
# makes of the movie converted here.
check_streams() {
    local program=$1 dir=$2 name reference
    shift 2
    for name in "$@"; do
        reference=$tmp/reference/$name
        mkdir -p "$reference"
        ffmpeg -nostdin -v error -i "$dir/$name.mp4" -vf "$filter" -pix_fmt yuv420p \
            -f rawvideo -y "$reference/yuv_420-352x288.yuv"
        (cd "$reference" && "$program" &>/dev/null)
        cmp -s "$reference/x.h264" "$dir/$name.h264" || fail "$name.h264 differs from a local encode"
    done
}

# check_ending STATUS PROGRAM MOVIE...: a batch in $tmp/movies, which ended with STATUS, named on
# its "No stream for" lines exactly the movies without a stream, ended with 0 if and only if it
# named none, and left only streams that are local encodes.
check_ending() {
    local status=$1 program=$2 movie named missing=""
    shift 2
    for movie in "$@"; do
        if [ -e "$tmp/movies/$movie.h264" ]; then
            check_streams "$program" "$tmp/movies" "$movie"
        else
            missing+="$movie.mp4"$'\n'
        fi
    done
    named=$(sed -n 's/^No stream for //p' "$tmp/out" | sort)
    [ "$named" = "$(printf %s "$missing" | sort)" ] && [ "$((status > 0))" -eq "$((${#named} > 0))" ] ||
        fail "the batch ended with $status, named '$named', left no stream for '$missing'"
}
# named: the movies the batch named on its "No stream for" lines, on one line.
named() { sed -n 's/^No stream for //p' "$tmp/out" | paste -sd, - | grep . || echo none; }

# kill_tree PID: kills the process and every process below it at once, as a machine that dies.
kill_tree() {
    local pids=("$1") i=0 child
    while ((i < ${#pids[@]})); do
        kill -STOP "${pids[i]}" 2>/dev/null || true # stopped, it starts no other meanwhile
        for child in $(ps -o pid= --ppid "${pids[i]}"); do pids+=("$child"); done
        i=$((i + 1))
    done
    kill -KILL "${pids[@]}" 2>/dev/null || true
}
