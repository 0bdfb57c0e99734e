#!/usr/bin/env bash
# Download benchmark: compares curl, aria2c, axel and (when built) tav-fetch
# against a local nginx on 127.0.0.1, and measures the physical limits
# (transfer alone, MD5 alone, disk write) next to them.
#
#   bash bench/download_bench.sh [--quick] [--clean]
#
# All traffic stays on 127.0.0.1. Test data, nginx state, client output and
# the results file live in a work folder under /tmp (default /tmp/tav-bench,
# override with TAV_BENCH_WORK); nothing is written into the repository.
#
# Environment overrides:
#   TAV_FETCH          path of the tav-fetch binary
#                      (default: <repo>/build/bench/tools/tav-fetch/tav-fetch,
#                      then `command -v tav-fetch`)
#   TAV_BENCH_WORK     work folder (default /tmp/tav-bench)
#   BENCH_RUNS         runs per client for the 256 MiB and 64 MiB cases
#                      (default 5, --quick 2)
#   BENCH_RUNS_BIG     runs per client for the 1 GiB case and physical limits
#                      (default 3, --quick 2)
#   BENCH_TIMEOUT      per-run timeout in seconds (default 300)

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_ROOT=$(cd "$SCRIPT_DIR/.." && pwd)
START_EPOCH=$(date +%s)

QUICK=0
CLEAN=0
for arg in "$@"; do
    case "$arg" in
        --quick) QUICK=1 ;;
        --clean) CLEAN=1 ;;
        -h|--help)
            awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "${BASH_SOURCE[0]}"
            exit 0 ;;
        *) echo "unknown argument: $arg (try --help)" >&2; exit 2 ;;
    esac
done

if [[ $QUICK -eq 1 ]]; then
    RUNS=${BENCH_RUNS:-2}
    RUNS_BIG=${BENCH_RUNS_BIG:-2}
else
    RUNS=${BENCH_RUNS:-5}
    RUNS_BIG=${BENCH_RUNS_BIG:-3}
fi
TIMEOUT_S=${BENCH_TIMEOUT:-300}
WORK=${TAV_BENCH_WORK:-/tmp/tav-bench}
DATA="$WORK/data"
OUTROOT="$WORK/out"
NGX="$WORK/nginx"
RESULTS_DIR="$WORK/bench"
GTIME=/usr/bin/time

log() { printf '[bench %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }

# ---------------------------------------------------------------- packages --
SUDO=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null 2>&1 || die "not root and no sudo: cannot install packages"
    SUDO=(sudo)
fi

pkg_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

ensure_packages() {
    local missing=()
    if ! pkg_installed nginx-light && ! pkg_installed nginx && ! command -v nginx >/dev/null 2>&1; then
        missing+=(nginx-light)
    fi
    local p
    for p in aria2 axel curl time; do
        pkg_installed "$p" || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    log "installing missing packages: ${missing[*]}"
    if ! DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null; then
        log "install failed; refreshing package lists once"
        "${SUDO[@]}" apt-get update -qq
        DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null \
            || die "could not install: ${missing[*]}"
    fi
}

ensure_packages
NGINX_BIN=$(command -v nginx || echo /usr/sbin/nginx)
[[ -x $NGINX_BIN ]] || die "nginx not found"
[[ -x $GTIME ]] || die "GNU time ($GTIME) not found"

# ----------------------------------------------------------------- cleanup --
NGX_PID=""
cleanup() {
    local rc=$?
    if [[ -n $NGX_PID ]] && kill -0 "$NGX_PID" 2>/dev/null; then
        kill -TERM "$NGX_PID" 2>/dev/null || true
        local i
        for i in $(seq 1 50); do
            kill -0 "$NGX_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$NGX_PID" 2>/dev/null || true
        wait "$NGX_PID" 2>/dev/null || true
    fi
    rm -rf "$OUTROOT"
    if [[ $CLEAN -eq 1 ]]; then
        rm -rf "$DATA"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --------------------------------------------------------------- test data --
mkdir -p "$WORK" "$DATA" "$OUTROOT" "$NGX/tmp" "$RESULTS_DIR"
# nginx workers may run as an unprivileged user: data must be world-readable.
chmod 755 "$WORK" "$DATA"

make_file() {  # name size_bytes
    local name=$1 size=$2 f="$DATA/$1"
    if [[ -f $f && -f $f.md5 ]] && [[ $(stat -c %s "$f") -eq $size ]]; then
        return 0
    fi
    log "creating $name ($((size / 1048576)) MiB)"
    rm -f "$f" "$f.md5"
    if command -v openssl >/dev/null 2>&1; then
        # AES-CTR keystream of zeros: incompressible and much faster than urandom.
        head -c "$size" /dev/zero \
            | openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass "pass:tav-bench-$name" >"$f"
    else
        head -c "$size" /dev/urandom >"$f"
    fi
    [[ $(stat -c %s "$f") -eq $size ]] || die "$name has the wrong size"
    md5sum "$f" | cut -d' ' -f1 >"$f.md5"
    chmod 644 "$f" "$f.md5"
}

make_file file-1g.bin   $((1024 * 1048576))
make_file file-256m.bin $((256 * 1048576))
make_file file-64m.bin  $((64 * 1048576))

# ------------------------------------------------------------------- nginx --
port_free() {
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

pick_port() {
    local i p
    for i in $(seq 1 100); do
        p=$((20000 + RANDOM % 40000))
        if port_free "$p" && [[ " ${USED_PORTS:-} " != *" $p "* ]]; then
            USED_PORTS="${USED_PORTS:-} $p"
            echo "$p"
            return 0
        fi
    done
    die "no free port found"
}

start_nginx() {
    local attempt i
    for attempt in 1 2 3; do
        USED_PORTS=""
        PORT_A=$(pick_port); USED_PORTS="$PORT_A"
        PORT_B=$(pick_port); USED_PORTS="$USED_PORTS $PORT_B"
        PORT_C=$(pick_port)
        local user_line=""
        [[ $(id -u) -eq 0 ]] && user_line="user root;"
        sed -e "s|@NGX@|$NGX|g" -e "s|@DATA@|$DATA|g" \
            -e "s|@PORT_A@|$PORT_A|g" -e "s|@PORT_B@|$PORT_B|g" -e "s|@PORT_C@|$PORT_C|g" \
            -e "s|@USER_LINE@|$user_line|g" \
            "$SCRIPT_DIR/nginx.conf.in" >"$NGX/nginx.conf"
        "$NGINX_BIN" -t -q -p "$NGX" -e "$NGX/error.log" -c "$NGX/nginx.conf" \
            || die "nginx config test failed (see $NGX/error.log)"
        "$NGINX_BIN" -p "$NGX" -e "$NGX/error.log" -c "$NGX/nginx.conf" &
        NGX_PID=$!
        for i in $(seq 1 50); do
            if curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$PORT_A/file-64m.bin" -r 0-0 \
               && curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$PORT_B/file-64m.bin" -r 0-0 \
               && curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$PORT_C/file-64m.bin" -r 0-0; then
                log "nginx pid $NGX_PID on 127.0.0.1 ports a=$PORT_A b=$PORT_B c=$PORT_C"
                return 0
            fi
            kill -0 "$NGX_PID" 2>/dev/null || break
            sleep 0.1
        done
        log "nginx did not come up (attempt $attempt); retrying with other ports"
        kill -TERM "$NGX_PID" 2>/dev/null || true
        wait "$NGX_PID" 2>/dev/null || true
        NGX_PID=""
    done
    die "nginx failed to start (see $NGX/error.log)"
}

start_nginx
URL_A="http://127.0.0.1:$PORT_A/file-1g.bin"
URL_B="http://127.0.0.1:$PORT_B/file-256m.bin"
URL_C="http://127.0.0.1:$PORT_C/file-64m.bin"

# Range requests must work: 1 KiB from the middle must come back as 206.
for u in "$URL_A" "$URL_B" "$URL_C"; do
    code=$(curl -s -o "$OUTROOT/range.chk" -w '%{http_code}' -r 1048576-1049599 --max-time 10 "$u")
    [[ $code == 206 && $(stat -c %s "$OUTROOT/range.chk") -eq 1024 ]] \
        || die "range request to $u failed (HTTP $code)"
done
rm -f "$OUTROOT/range.chk"

# ----------------------------------------------------------------- helpers --
median() {  # numbers on stdin -> median (mean of the middle two for even n)
    sort -g | awk '{a[NR]=$1} END {
        if (NR == 0) { print "nan"; exit }
        if (NR % 2) printf "%.3f\n", a[(NR+1)/2];
        else printf "%.3f\n", (a[NR/2] + a[NR/2+1]) / 2 }'
}

now_ns() { date +%s%N; }

# run_timed <tag> <cmd...>: runs the command under GNU time and a timeout;
# appends "wall cpu rss_kib rc" to $SAMPLES/<tag>.
SAMPLES="$WORK/samples"
rm -rf "$SAMPLES"; mkdir -p "$SAMPLES"
run_timed() {
    local tag=$1; shift
    local tf="$SAMPLES/$tag.time" t0 t1 rc=0
    rm -f "$tf"
    t0=$(now_ns)
    timeout --kill-after=5 "$TIMEOUT_S" "$GTIME" -f '%U %S %M' -o "$tf" -- "$@" \
        >"$SAMPLES/$tag.log" 2>&1 || rc=$?
    t1=$(now_ns)
    local cpu=nan rss=nan
    if [[ -s $tf ]]; then
        # GNU time prints "Command exited with non-zero status N" first on failure.
        read -r u s m < <(tail -n 1 "$tf")
        cpu=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
        rss=$m
    fi
    echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }') $cpu $rss $rc" \
        >>"$SAMPLES/$tag"
    return 0
}

# Locate tav-fetch.
TAV_FETCH_BIN=""
if [[ -n ${TAV_FETCH:-} ]]; then
    [[ -x $TAV_FETCH ]] && TAV_FETCH_BIN=$TAV_FETCH
elif [[ -x $REPO_ROOT/build/bench/tools/tav-fetch/tav-fetch ]]; then
    TAV_FETCH_BIN=$REPO_ROOT/build/bench/tools/tav-fetch/tav-fetch
elif command -v tav-fetch >/dev/null 2>&1; then
    TAV_FETCH_BIN=$(command -v tav-fetch)
fi
if [[ -z $TAV_FETCH_BIN ]]; then
    log "tav-fetch not found (set TAV_FETCH or build it); its rows are skipped"
fi

CLIENTS=("curl" "aria2c -x6" "aria2c -x6 +MD5" "axel -n6" "tav-fetch +MD5")

client_cmd() {  # client url outdir fname md5 -> sets CMD array
    local client=$1 url=$2 dir=$3 fname=$4 md5=$5
    case "$client" in
        "curl")            CMD=(curl -s -o "$dir/$fname" "$url") ;;
        "aria2c -x6")      CMD=(aria2c -q -x6 -s6 -k1M --allow-overwrite=true
                                --auto-file-renaming=false -d "$dir" "$url") ;;
        "aria2c -x6 +MD5") CMD=(aria2c -q -x6 -s6 -k1M --allow-overwrite=true
                                --auto-file-renaming=false --checksum="md5=$md5" -d "$dir" "$url") ;;
        "axel -n6")        CMD=(axel -q -n 6 -o "$dir/$fname" "$url") ;;
        "tav-fetch +MD5")  CMD=("$TAV_FETCH_BIN" --md5 "$md5" "$url" "$dir") ;;
        *) die "unknown client $client" ;;
    esac
}

tag_of() { echo "$1-$2" | tr -c 'A-Za-z0-9\n' '_'; }

TABLES=""
emit() { TABLES+="$*"$'\n'; }

# run_case <case-id> <title> <url> <fname> <runs>
run_case() {
    local cid=$1 title=$2 url=$3 fname=$4 runs=$5
    local md5 size_mib r client tag out
    md5=$(cat "$DATA/$fname.md5")
    size_mib=$(( $(stat -c %s "$DATA/$fname") / 1048576 ))
    declare -A status=()
    log "case $cid: $title, $runs run(s) per client"
    # Rounds interleave the clients so slow drift affects all of them alike.
    for r in $(seq 1 "$runs"); do
        for client in "${CLIENTS[@]}"; do
            [[ $client == tav-fetch* && -z $TAV_FETCH_BIN ]] && continue
            tag=$(tag_of "$cid" "$client")
            out="$OUTROOT/$tag"
            rm -rf "$out"; mkdir -p "$out"
            client_cmd "$client" "$url" "$out" "$fname" "$md5"
            run_timed "$tag" "${CMD[@]}"
            local last_rc
            last_rc=$(tail -n 1 "$SAMPLES/$tag" | awk '{print $4}')
            if [[ $last_rc -ne 0 ]]; then
                status[$client]="FAIL (exit $last_rc)"
            elif [[ $r -eq 1 ]]; then
                # Integrity check, outside the timed part, once per case.
                local got=""
                [[ -f $out/$fname ]] && got=$(md5sum "$out/$fname" | cut -d' ' -f1)
                if [[ $got != "$md5" ]]; then
                    status[$client]="FAIL (bad MD5)"
                fi
            fi
            log "  $client run $r: $(tail -n 1 "$SAMPLES/$tag" | awk '{printf "%ss cpu %ss rss %d KiB rc %s", $1, $2, $3, $4}')"
            rm -rf "$out"
            sync
        done
    done

    local aria_med
    aria_med=$(awk '{print $1}' "$SAMPLES/$(tag_of "$cid" "aria2c -x6")" | median)
    emit ""
    emit "### Case $cid: $title"
    emit ""
    emit "| client | median s | MiB/s | vs aria2c | CPU s (user+sys) | peak RSS MiB | status |"
    emit "|---|---:|---:|---:|---:|---:|---|"
    for client in "${CLIENTS[@]}"; do
        tag=$(tag_of "$cid" "$client")
        if [[ $client == tav-fetch* && -z $TAV_FETCH_BIN ]]; then
            emit "| $client | – | – | – | – | – | not built yet (skipped) |"
            continue
        fi
        local wall cpu rss st
        wall=$(awk '{print $1}' "$SAMPLES/$tag" | median)
        cpu=$(awk '{print $2}' "$SAMPLES/$tag" | median)
        rss=$(awk '{print $3 / 1024}' "$SAMPLES/$tag" | median)
        st=${status[$client]:-ok}
        emit "$(awk -v c="$client" -v w="$wall" -v a="$aria_med" -v cpu="$cpu" -v rss="$rss" \
                    -v mib="$size_mib" -v st="$st" -v n="$runs" 'BEGIN {
            printf "| %s | %.2f | %.1f | %.2f× | %.2f | %.1f | %s (n=%d) |", c, w, mib / w, w / a, cpu, rss, st, n }')"
    done
}

# -------------------------------------------------------------- the cases --
run_case a "1 GiB, unthrottled" "$URL_A" file-1g.bin "$RUNS_BIG"

# Physical limits on case (a).
log "physical limits on case a, $RUNS_BIG run(s) each"
for r in $(seq 1 "$RUNS_BIG"); do
    run_timed phys_net curl -s -o /dev/null "$URL_A"
    run_timed phys_md5 md5sum "$DATA/file-1g.bin"
    mkdir -p "$OUTROOT/phys"
    run_timed phys_cp cp "$DATA/file-1g.bin" "$OUTROOT/phys/copy.bin"
    rm -f "$OUTROOT/phys/copy.bin"; sync
    run_timed phys_dd dd if=/dev/zero of="$OUTROOT/phys/dd.bin" bs=1M count=1024 conv=fsync
    rm -f "$OUTROOT/phys/dd.bin"; sync
done
p_net=$(awk '{print $1}' "$SAMPLES/phys_net" | median)
p_md5=$(awk '{print $1}' "$SAMPLES/phys_md5" | median)
p_cp=$(awk '{print $1}' "$SAMPLES/phys_cp" | median)
p_dd=$(awk '{print $1}' "$SAMPLES/phys_dd" | median)
p_sum=$(awk -v a="$p_net" -v b="$p_md5" 'BEGIN { printf "%.3f", a + b }')
phys_fail=""
for t in phys_net phys_md5 phys_cp phys_dd; do
    awk '$4 != 0 { bad = 1 } END { exit !bad }' "$SAMPLES/$t" && phys_fail+=" $t"
done
emit ""
emit "Physical limits on case a (1 GiB, median of $RUNS_BIG):"
emit ""
emit "| limit | median s | MiB/s |"
emit "|---|---:|---:|"
for pair in "transfer only (curl -o /dev/null):$p_net" "MD5 only (md5sum):$p_md5" \
            "write, page cache (cp):$p_cp" "write + fsync (dd conv=fsync):$p_dd" \
            "transfer + MD5:$p_sum"; do
    emit "$(awk -v l="${pair%:*}" -v w="${pair##*:}" 'BEGIN { printf "| %s | %.2f | %.1f |", l, w, 1024 / w }')"
done
[[ -n $phys_fail ]] && emit "" && emit "Failed limit runs:$phys_fail"

run_case b "256 MiB, 8 MiB/s per connection" "$URL_B" file-256m.bin "$RUNS"
run_case c "64 MiB, stragglers (every 5th connection 1 MiB/s, others 8 MiB/s)" "$URL_C" file-64m.bin "$RUNS"

# ----------------------------------------------------------------- report --
END_EPOCH=$(date +%s)
mem_total=$(free -g | awk '/^Mem:/ {print $2}')
{
    echo "# Download benchmark results $(date +%F)"
    echo
    echo "- host: $(uname -sr), $(nproc) cores, ${mem_total} GiB RAM (free -g)"
    echo "- nginx $("$NGINX_BIN" -v 2>&1 | sed 's|.*/||'), $(curl --version | head -n 1 | cut -d' ' -f1-2)," \
         "$(aria2c --version | head -n 1 | sed 's/ version//'), $(axel --version | head -n 1 | cut -d' ' -f1-2)"
    echo "- tav-fetch: ${TAV_FETCH_BIN:-not built yet}"
    echo "- runs: $RUNS_BIG for case a and limits, $RUNS for cases b and c; data in page cache (hot)"
    echo "- total time: $((END_EPOCH - START_EPOCH)) s"
    printf '%s' "$TABLES"
} >"$RESULTS_DIR/results-$(date +%F).md"

cat "$RESULTS_DIR/results-$(date +%F).md"
echo
echo "results written to $RESULTS_DIR/results-$(date +%F).md"
