# Shared by the batch tests (this machine, several ssh hosts, a Slurm cluster): movies of several
# shapes and names, the rows every engine runs, the checks that every stream is a local encode of
# its movie and that a batch names every movie left without one, the means to kill a host whole. The
# sourcing test sets `tmp`, `root` (the staged install) and `batch ARGUMENT...`, which runs the
# command in $tmp/movies, its output in $tmp/out and its status in `status`.
# shellcheck shell=bash disable=SC2015,SC2154 # A && B || fail; tmp, root and engine: the test's

# fail MESSAGE...: says what went wrong, shows what the batch printed ($tmp/out), and ends the test.
fail() {
    echo "$(basename "$0" .sh): $*" >&2
    cat "$tmp/out" >&2 2>/dev/null || true
    exit 1
}

# The conversion filter, as the command defines it: the references are made with that very one.
filter=$(sed -n 's/^FILTER = "\([^"]*\)".*/\1/p' "$root/usr/bin/yuv2h264-batch")
[ -n "$filter" ] || fail "no FILTER=... in yuv2h264-batch"

# Copies of wide.mp4 under names that break naive scripts, and one in another directory.
tricky=(-dash.mp4 $'new\nline.mp4' ep1:pilot.mp4 "it's \"q\" \\b [*?].mp4" "é ü.mp4"
    "other dir/wide.mov")
plain=(wide anamorphic tall "no stream") # .mp4 each; "no stream" cannot be encoded

# make_movies: in $tmp/movies, short movies of different shapes, the tricky names, and one that
# cannot be encoded.
make_movies() {
    local dir=$tmp/movies name
    mkdir -p "$dir/other dir"
    movie() { # NAME SOURCE SECONDS
        ffmpeg -nostdin -v error -f lavfi -i "$2" -t "$3" -c:v libx264 -pix_fmt yuv420p \
            -y "$dir/$1.mp4"
    }
    movie wide testsrc2=size=640x360:rate=30 1.5
    movie anamorphic 'smptehdbars=size=720x576:rate=25,setsar=64/45' 1
    movie tall 'testsrc=size=240x320:rate=24' 2
    for name in "${tricky[@]}"; do cp "$dir/wide.mp4" "$dir/$name"; done
    : >"$dir/no stream.mp4"
}

# check_stream MOVIE SOURCE: MOVIE's stream is, byte for byte, what the staged program makes of
# SOURCE (a movie of the same bytes) converted here.
check_stream() {
    local reference=$tmp/reference/$2
    if [ ! -e "$reference/x.h264" ]; then
        mkdir -p "$reference"
        ffmpeg -nostdin -v error -i "$tmp/movies/$2" -vf "$filter" -pix_fmt yuv420p \
            -f rawvideo -y "$reference/yuv_420-352x288.yuv"
        (cd "$reference" && "$root/usr/bin/yuv2h264" &>/dev/null)
    fi
    cmp -s "$reference/x.h264" "$tmp/movies/${1%.*}.h264" ||
        fail "${1%.*}.h264 differs from a local encode"
}

# named: the movies the batch named on its "No stream for" lines, on one line.
named() { sed -n 's/^No stream for //p' "$tmp/out" | paste -sd, - | grep . || echo none; }

# check_ending MOVIE...: the batch over plain movies named on its "No stream for" lines exactly
# those without a stream, ended with 0 if and only if it named none, left only streams that are
# local encodes, and no partial stream.
check_ending() {
    local movie missing=""
    for movie in "$@"; do
        if [ -e "$tmp/movies/$movie.h264" ]; then
            check_stream "$movie.mp4" "$movie.mp4"
        else
            missing+=",$movie.mp4"
        fi
    done
    missing=${missing#,}
    [ "$(named)" = "${missing:-none}" ] && [ "$((status > 0))" -eq "$((${#missing} > 0))" ] ||
        fail "the batch ended with $status, named '$(named)', left no stream for '$missing'"
    ! find "$tmp/movies" -name '*.part' | grep . || fail "a partial stream is left"
}

# interrupt_when_partial DIR...: the batch over the plain movies, given Ctrl-C once a partial stream
# is under a DIR, must end by SIGINT, naming the movies it left. The test checks nothing runs.
interrupt_when_partial() {
    (batch "${plain[@]/%/.mp4}" && exit "$status") &
    local job=$!
    until find "$@" -name '*.part' 2>/dev/null | grep -q .; do
        kill -0 "$job" 2>/dev/null || fail "the batch ended before it made a partial stream"
        sleep 0.02
    done
    kill -INT "$(pgrep -o -f "^/usr/bin/python3 -IS $root/usr/bin/yuv2h264-batch")" # not nsenter
    status=0 && wait "$job" || status=$?
    [ "$status" -eq 130 ] || fail "stopped by SIGINT, the batch ended with $status"
    check_ending "${plain[@]}"
}

# rows_of_names: tricky names, another directory, a non-movie and a stream that stays as it is;
# then, run again with the non-movie replaced, only the 2 movies without a stream are encoded.
rows_of_names() {
    local name movies=("$tmp"/movies/*.mp4 "$tmp/movies/other dir/wide.mov")
    echo mine >"$tmp/movies/tall.h264"
    batch -- "${movies[@]#"$tmp/movies/"}"
    [ "$status" -eq 1 ] || fail "tricky names: status $status, not 1"
    for name in "${tricky[@]}" wide.mp4; do check_stream "$name" wide.mp4; done
    check_stream anamorphic.mp4 anamorphic.mp4
    [ "$(cat "$tmp/movies/tall.h264")" = mine ] || fail "an existing stream was overwritten"
    [ "$(named)" = "no stream.mp4" ] && grep -q '^\[[0-9]/9\] no stream.mp4 failed: .*Invalid' \
        "$tmp/out" && [ "$(grep -c '^\[[0-9]/9\] .* -> .*, [0-9]* s$' "$tmp/out")" -eq 8 ] ||
        fail "tricky names: not 8 streams and the non-movie named"
    echo "$engine: 9 movies of tricky names, 1 stream kept: status 1, named: $(named)"

    rm "$tmp/movies/tall.h264" && cp "$tmp/movies/wide.mp4" "$tmp/movies/no stream.mp4"
    batch -- "${movies[@]#"$tmp/movies/"}"
    [ "$status" -eq 0 ] && grep -q '^\[[12]/2\] no stream.mp4 -> no stream.h264' "$tmp/out" &&
        grep -q '^\[[12]/2\] tall.mp4 -> tall.h264' "$tmp/out" || fail "run again: not the 2 left"
    check_stream "no stream.mp4" wide.mp4
    echo "$engine: run again, status 0, it encoded the 2 movies without a stream alone"
    rm -f -- "$tmp/movies/"*.h264 "$tmp/movies/other dir/"*.h264
    : >"$tmp/movies/no stream.mp4"
}

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

# running_in DIR: the processes, but sshd, whose command line or working directory is under DIR.
running_in() {
    { grep -lsF -- "$1" /proc/[0-9]*/cmdline; find /proc/[0-9]*/cwd -lname "$1*" 2>/dev/null; } |
        cut -d/ -f3 | sort -u | while read -r pid; do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = sshd ] || ps -o pid=,args= -p "$pid" || true
    done
}
